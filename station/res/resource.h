// Resource and command numbers shared by the resource script and the code.
#pragma once

// Menu, accelerators, dialogs, icon, bitmap.
#define IDM_MAINMENU        300
#define IDA_ACCEL           200
#define IDD_ABOUT           100
#define IDD_SETTINGS        101
#define IDI_KELVO           400
#define IDB_KELVO           500

// Menu commands.
#define IDM_CONNECT         256
#define IDM_DISCONNECT      257
#define IDM_EXIT            258
#define IDM_SETTINGS        259
#define IDM_ABOUT           260

// About box controls.
#define IDD_ICON            528
#define IDD_VERSION         529
#define IDD_BANNER          535

// Settings dialog controls.
#define IDD_PORTCB          544
#define IDD_BAUDCB          545
#define IDD_DATABITSCB      546
#define IDD_PARITYCB        547
#define IDD_STOPBITSCB      548
#define IDD_DTRDSR          549
#define IDD_RTSCTS          550
#define IDD_XONXOFF         551
#define IDD_AUTOWRAP        552
#define IDD_NEWLINE         553
#define IDD_LOCALECHO       554
#define IDD_FONT            555

// Strings.
#define IDS_COMPREFIX       784
#define IDS_BAUD9600        800
#define IDS_PARITYNONE      816
#define IDS_ONESTOPBIT      832
