/* The program's identity, written once: read by the version block (.rc, through
   windres) and by the C++ code (title, version shown to the user). Keep it plain C
   preprocessor so windres can read it. */
#ifndef IRPATCH_VERSION_H
#define IRPATCH_VERSION_H

#define IRPATCH_TITLE "IRPatch-K314-W98-FRN"
#define IRPATCH_PRODUCT_NAME "IRPatch-K314-W98-FRN"
#define IRPATCH_INTERNAL_NAME "Patch_IR_K314(FR)"
#define IRPATCH_ORIGINAL_FILENAME "Patch_IR_K314(FR).exe"
#define IRPATCH_VERSION_TEXT "1.00"
#define IRPATCH_VERSION_MAJOR 1
#define IRPATCH_VERSION_MINOR 0
#define IRPATCH_VERSION_REVISION 0
#define IRPATCH_DESCRIPTION \
    "This patch makes changes in the registry to repair the nomane device in the device manager."
#define IRPATCH_COMMENTS "This patch only makes changes in the registry."

#endif
