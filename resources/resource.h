/* Resource IDs, shared by the .rc file and the C++ code. Plain C preprocessor so
   windres can read it. */
#ifndef IRPATCH_RESOURCE_H
#define IRPATCH_RESOURCE_H

/* The program's icon group: the first icon, so Explorer shows it for the .exe. */
#define IDI_APPICON 1

#endif
