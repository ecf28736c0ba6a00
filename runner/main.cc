#include "runner/driver.h"

int main(int argc, char** argv) {
  sr::run_request(argc, argv);
}
