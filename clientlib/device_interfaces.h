#pragma once
// Device-interface classes and the hardware ID of the virtual port driver.
#include <windows.h>

namespace wharfcore {

// Interface class that the virtual port driver registers for every port; its driver is
// opened through a path of this class.
inline constexpr GUID port_interface_class = {0xA4C98EBA, 0x8F1B, 0x40DE, {0xA8, 0x82, 0x21, 0x2D, 0x33, 0xE9, 0x22, 0x99}};

// GUID_DEVINTERFACE_COMPORT, registered by every COM port driver.
inline constexpr GUID comport_interface_class = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// GUID_DEVCLASS_PORTS, the setup class of the nodes the library creates.
inline constexpr GUID ports_setup_class = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

inline constexpr wchar_t port_hardware_id[] = L"VelmorVIRT\\VelmorTidewell1";

} // namespace wharfcore
