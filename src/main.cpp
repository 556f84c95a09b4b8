// Process entry of korvadex: the run, or the driver side when a run started
// this program as its driver process (Windows); all logic lives elsewhere.
#include <string>
#include <vector>

#include "db/driver_process.h"
#include "driver/run.h"
#include "platform/arguments.h"
#include "platform/child_process.h"
#include "platform/run_signals.h"

int main(int argc, char** argv) {
  int channel = -1;
  if (korvadex::TakeChildChannel(argc, argv, channel)) return korvadex::RunDriverSide(channel, true);
  korvadex::HoldStopsFromTheStart();
  const std::vector<std::string> arguments = korvadex::ProgramArguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  return korvadex::ExitCodeAfterLateStop(korvadex::RunMain(static_cast<int>(arguments.size()), pointers.data()));
}
