// Resource ids shared by quento.rc and the program.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_QUENTO_DIALOG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDR_MAINFRAME 128

#define IDC_IPADDRESS 1000
#define IDC_CONNECT 1002
#define IDC_FILE_PATH 1003
#define IDC_DOWNLOAD 1004
#define IDC_BROWSE 1005
#define IDC_STATUS 1007
#define IDC_PROGRESS 1008

// The system menu's About entry. System commands keep their low four bits for the system.
#define IDM_ABOUTBOX 0x0010
