// SPDX-License-Identifier: MIT
/* The floor that one walk of the process table is measured against (proc_floor.c). */
#ifndef UPGRADE_PROC_FLOOR_H
#define UPGRADE_PROC_FLOOR_H

#ifdef __cplusplus
extern "C" {
#endif

/* The number of processes under |root| that run the file |name|, or -1 when |root| cannot be
 * opened. */
int procFloorWalk(const char* root, const char* name);

#ifdef __cplusplus
}
#endif

#endif
