#pragma once
// The desktop program's entry: builds the Qt application and runs CHarbinetApp.
namespace hbt {

int RunDesktopProgram(int argc, char** argv);

}  // namespace hbt
