#pragma once
// Resource identifiers of OrnShExt.dll (shared by the code and OrnShExt.rc).

#define IDR_ORNSHEXT_APPID 101  // REGISTRY: the application identity
#define IDR_SHELLEXT 102  // REGISTRY: the handler class
#define IDS_PROJNAME 101  // the product caption of the submenu
#define IDB_MENU 204  // the menu image, checked and unchecked
// The images of Windows before Vista, where the module cannot load: not
// loaded, kept for whatever reads the module's published resources.
#define IDB_MENU_CHECKED 208
#define IDB_MENU_UNCHECKED 209
#define IDI_SCAN 301  // the Explorer command's icon
