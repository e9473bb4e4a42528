// The run's log: one line per event, written to the standard output stream, which the run may have
// redirected into its log file.
#pragma once

#include <QByteArray>

// Writes |line| and a line end to the run's log. Nothing is flushed here.
void logLine(const QByteArray& line);
