// Entry point of the server (being built).
#include "mvlogger.h"
int main() {
    MVLOGI("[MAIN] starting");
    return 0;
}
