// Process entry of korvadex; all logic lives in the driver.
#include "driver/run.h"

int main(int argc, char** argv) { return korvadex::RunMain(argc, argv); }
