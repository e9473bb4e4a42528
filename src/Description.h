// SPDX-License-Identifier: MIT
// The file-description document: its keys and its time format, one definition for the reader
// (UpgradeDeploy) and the writer (UpgradeDescribe).
//
//   { "files": ["<path>", ...],
//     "files-ex": [{ "path": "<path>", "modified-time": "yyyy-MM-dd hh:mm:ss",
//                    "sha256": "<64 hex digits>" }, ...],
//     "files-remove": ["<path>", ...], "all-or-nothing": true, "sequence": <n>,
//     "error-msg": "<why the package cannot be installed>" }
#pragma once

#include <QLatin1String>
#include <QString>

namespace description {

inline const QLatin1String files("files");
inline const QLatin1String filesEx("files-ex");
inline const QLatin1String path("path");
inline const QLatin1String modifiedTime("modified-time");
inline const QLatin1String sha256("sha256");
inline const QLatin1String filesRemove("files-remove");
inline const QLatin1String allOrNothing("all-or-nothing");
inline const QLatin1String sequence("sequence");
inline const QLatin1String errorMessage("error-msg");

// Local time to the second, as "modified-time" gives it; the log's times are written the same way.
inline const QLatin1String timeFormat("yyyy-MM-dd hh:mm:ss");

} // namespace description
