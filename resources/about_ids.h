/* Resource IDs of the About dialog, shared by resources/about.rc and the C++ code.
   Plain C preprocessor so windres can read it. */
#ifndef IRPATCH_ABOUT_IDS_H
#define IRPATCH_ABOUT_IDS_H

#define IDD_ABOUT 100

/* The program's own icon group (the first icon of resources/IRPatch.rc). */
#define IDI_ABOUT_ICON 1

/* cmdOK is IDOK, so Enter presses it; Esc sends IDCANCEL, which the dialog maps
   onto cmdOK too. */
#define IDC_PICICON 101
#define IDC_LBLDESCRIPTION 102
#define IDC_LBLDISCLAIMER 103
#define IDC_LBLTITLE 104
#define IDC_LBLVERSION 105
#define IDC_LINE1 106

#endif
