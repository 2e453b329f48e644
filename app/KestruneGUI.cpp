#include "KestruneGUI.h"

#include "Platform.h"

namespace KestruneGUI {

bool RunGUI(int, char**) {
    return Kestrune::Platform::ShowInformationBox(
        "Kestrune Ripper", "Kestrune Ripper - Commercial Edition\n"
                           "Universal 3D Game Package Extractor (PAK/VPK/WAD)");
}

} // namespace KestruneGUI
