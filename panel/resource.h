#pragma once
// Resource identifiers of wharfpanel.
#define IDD_MAIN 101
#define IDD_CREDENTIALS 105
#define IDI_MAIN 107
#define IDC_SERVER_TREE 1001
#define IDC_ADD_SERVER 1002
#define IDC_CONNECT 1003
#define IDC_DELETE 1004
#define IDC_DISCOVER 1005
#define IDC_REMOVE_SERVER 1006
#define IDC_PORT_LIST 1007
#define IDC_LOGIN 1010
#define IDC_PASSWORD 1011
#define IDC_DOMAIN 1012
#define IDC_PORT_NAME 1016
#define IDC_ABOUT 1016
