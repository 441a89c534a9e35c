// torvex-ports on Windows: what a device instance id says of a USB port, the
// serial number being the stable name that names its unit in the rack's reports.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <string>

#include "tools/ports/ports.h"

namespace {

TEST(PortsWin32, AUsbPortIsNamedByTheSerialNumberOfItsInstanceId)
{
    struct Case {
        const char* id;
        bool usb;
        const char* vendor;
        const char* product;
        const char* serial;
    };
    const Case cases[] = {
        {"USB\\VID_0403&PID_6001\\A50285BI", true, "0403", "6001", "A50285BI"},
        {"USB\\VID_2E8A&PID_000A\\E660583883A74C2B", true, "2e8a", "000a", "E660583883A74C2B"},
        // No serial number: Windows makes up the last part, with '&' in it.
        {"USB\\VID_1A86&PID_7523\\5&2C1F3B8&0&3", true, "1a86", "7523", ""},
        {"USB\\VID_2E8A&PID_000A&MI_00\\7&1B2C3D4&0&0000", true, "2e8a", "000a", ""},
        // A number that is not four hex digits is none.
        {"USB\\VID_04G3&PID_60\\X1", true, "", "", "X1"},
        {"ACPI\\PNP0501\\1", false, "", "", ""},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Port p;
        p.Name = "COM3";
        EXPECT_EQ(UsbFromInstanceId(c.id, &p), c.usb);
        EXPECT_EQ(p.Usb, c.usb);
        EXPECT_EQ(p.UsbVendor, c.vendor);
        EXPECT_EQ(p.UsbProduct, c.product);
        EXPECT_EQ(p.Serial, c.serial);
        EXPECT_EQ(p.StableName, c.serial);
        // Where there is none, the rack names the unit by its port.
        EXPECT_EQ(UnitStableName(p), c.serial[0] != '\0' ? c.serial : "COM3");
        EXPECT_EQ(UnitIdentity(p), c.serial[0] != '\0' ? c.serial : "COM3");
    }
}

}  // namespace
#endif
