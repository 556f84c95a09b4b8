// Process entry of korvadex: the run, or the driver side when a run started
// this program as its driver process (Windows); all logic lives elsewhere.
#include "db/driver_process.h"
#include "driver/run.h"
#include "platform/child_process.h"

int main(int argc, char** argv) {
  int channel = -1;
  if (korvadex::TakeChildChannel(argc, argv, channel)) return korvadex::RunDriverSide(channel, true);
  return korvadex::RunMain(argc, argv);
}
