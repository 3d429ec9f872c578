#pragma once
// Resource identifiers of OrnShExt.dll (shared by the code and OrnShExt.rc).

#define IDR_ORNSHEXT_APPID 101  // REGISTRY: the application identity
#define IDR_SHELLEXT 102  // REGISTRY: the handler class
#define IDS_PROJNAME 101  // the product caption of the submenu
#define IDB_MENU 204  // menu image, platform 6 and later
#define IDB_MENU_SPARE 205  // in the resources, never loaded
#define IDB_MENU_CHECKED 208  // checked-state image before platform 6
#define IDB_MENU_UNCHECKED 209  // unchecked-state image before platform 6
#define IDI_SCAN 301  // the Explorer command's icon
