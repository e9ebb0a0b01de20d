// The tray application's entry, looked up by the trayline executable after loading this library.

#include "desktop/app/trayline_app.h"

extern "C" __attribute__((visibility("default"))) int trayline_tray_main(int argc, char** argv) {
    return trayline::runTrayApplication(argc, argv);
}
