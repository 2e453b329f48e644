#pragma once

namespace KestruneGUI {

// Shows the program's information box and returns once it is closed. False
// when the system has no message-box service. The arguments are not used.
bool RunGUI(int argc, char** argv);

} // namespace KestruneGUI
