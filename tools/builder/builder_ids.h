// Control ids of the builder's window (builder.rc, window.cpp).
#pragma once

#define IDD_BUILDER 100
#define IDI_BUILDER 101

// Fields, each with a button "..." of id + 100 where it has one, and a note of id + 200
// that shows the field's limit.
#define IDC_FOLDER 1001
#define IDC_OUTPUT 1002
#define IDC_TITLE 1003
#define IDC_LABEL 1004
#define IDC_DIR 1005
#define IDC_COMMAND 1006
#define IDC_NOTICE 1007
#define IDC_ICONFILE 1008
#define IDC_PRODUCTNAME 1011
#define IDC_FILEDESCRIPTION 1012
#define IDC_COMPANYNAME 1013
#define IDC_LEGALCOPYRIGHT 1014
#define IDC_PRODUCTVERSION 1015
#define IDC_FILEVERSION 1016
#define IDC_ORIGINALFILENAME 1017
#define IDC_COMMENTS 1018
#define IDC_METHOD 1020
#define IDC_LEVEL 1021
#define IDC_CODEPAGE 1022
#define IDC_ELEVATION 1023
#define IDC_AUTOSTART 1031
#define IDC_OVERWRITEALL 1032
#define IDC_SKIPIFNOTNEWER 1033
#define IDC_RESTOREATTRIBUTES 1034
#define IDC_CHECKSUM 1035
#define IDC_PKCS12 1041
#define IDC_PASSWORDFILE 1042
#define IDC_BROWSE 100   // added to a field's id
#define IDC_LIMIT 200    // added to a field's id

#define IDC_PROGRESS 1050
#define IDC_STATUS 1051
#define IDC_OPEN 1061
#define IDC_SAVE 1062
