#include "norvane_update.h"

// NORVANE_UPDATE_SERVER is chosen when the program is built.
int main(int argc, char** argv) {
  return RunUpdate(argc, argv, NORVANE_UPDATE_SERVER);
}
