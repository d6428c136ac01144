/* Resource IDs of the About dialog, shared by resources/about.rc and the C++ code.
   Plain C preprocessor so windres can read it. */
#ifndef IRPATCH_ABOUT_IDS_H
#define IRPATCH_ABOUT_IDS_H

#define IDD_ABOUT 100

/* The dialog shows the program's own icon group, IDI_APPICON. */
#include "resource.h"

/* cmdOK is IDOK, so Enter presses it; Esc sends IDCANCEL, which the dialog maps
   onto cmdOK too. */
#define IDC_PICICON 101
#define IDC_LBLDESCRIPTION 102
#define IDC_LBLDISCLAIMER 103
#define IDC_LBLTITLE 104
#define IDC_LBLVERSION 105
#define IDC_LINE1 106

#endif
