// Identifiers shared by the panel's resource script, its code and the tests that drive it.
#pragma once

// Resources.
#define IDR_PANEL_MENU 100
#define IDR_PANEL_ACCELERATORS 101
#define IDD_NEW_IMAGE 102

// Commands: each has a menu entry and a shortcut.
#define ID_FILE_NEW_IMAGE 1001
#define ID_FILE_SAVE_LOG 1002
#define ID_FILE_EXIT 1003
#define ID_DRIVE_MOUNT 1010
#define ID_DRIVE_EJECT 1011
#define ID_DRIVE_READ_ONLY 1012
#define ID_DRIVE_SWAP_FIRST 1021  // + 0..8: swap the selected drive with D1: to D9:
#define ID_EMULATION_START 1040
#define ID_EMULATION_STOP 1041
#define ID_EMULATION_RECONNECT 1042
#define ID_PORT_FIRST 1051  // + 0..8: COM1 to COM9
#define ID_LOG_COPY 1070
#define ID_LOG_CLEAR 1071
#define ID_LOG_SHOW_FIRST 1081  // + 0..3: show commands, status lines, debug lines, errors

// Controls of the main window.
#define IDC_PORT 2001
#define IDC_START_STOP 2002
#define IDC_STATE 2003
#define IDC_DRIVES 2004
#define IDC_LOG 2005
#define IDC_STATUS_BAR 2006
#define IDC_SHOW_FIRST 2011  // + 0..3: the log's filter boxes, in ID_LOG_SHOW_FIRST's order

// Controls of the "New image" dialog.
#define IDC_NEW_PATH 3001
#define IDC_NEW_BROWSE 3002
#define IDC_NEW_SD 3003
#define IDC_NEW_ED 3004
#define IDC_NEW_DD 3005
#define IDC_NEW_CUSTOM 3006
#define IDC_NEW_COUNT 3007
#define IDC_NEW_SIZE 3008
#define IDC_NEW_MOUNT 3009
#define IDC_NEW_PROBLEM 3010
