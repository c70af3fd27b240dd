#include "main/main_entry.h"

int main(int argc, char** argv) {
    return vesk::run_main(argc, argv);
}
