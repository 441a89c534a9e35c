// torvex-ports on Windows: the Ports class of SetupAPI first, with its friendly
// names and hardware ids; then the ports that only the registry's SERIALCOMM
// map knows (drivers outside the Ports class, and Wine, whose SetupAPI has
// none); then the COMn names QueryDosDevice lists; then, under Wine, the comN
// links of the prefix, which neither the registry nor QueryDosDevice shows
// when they were added after the prefix started. Nothing is opened.
#include <windows.h>

#include <cfgmgr32.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "ports.h"

namespace {

// "COM5" for any spelling of a COMn name, empty for other names.
std::string ComName(const std::string& name)
{
    if (name.size() < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm' ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return "";
    }
    return "COM" + name.substr(3);
}

bool Listed(const std::vector<Port>& ports, const std::string& name)
{
    for (const Port& p : ports) {
        if (p.Name == name) {
            return true;
        }
    }
    return false;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property)
{
    char value[1024];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, dev, property, &type, reinterpret_cast<BYTE*>(value),
                                           sizeof value - 1, nullptr)) {
        return "";
    }
    value[sizeof value - 1] = '\0';
    return value;  // of a list, the first entry
}

std::string InstanceId(DEVINST inst)
{
    char id[MAX_DEVICE_ID_LEN + 1];
    return CM_Get_Device_IDA(inst, id, sizeof id, 0) == CR_SUCCESS ? id : "";
}

// The four hex digits after "VID_" or "PID_" in an id such as USB\VID_0403&PID_6001,
// in lower case; empty when they are not there.
std::string IdNumber(const std::string& id, const char* key)
{
    const size_t at = id.find(key);
    std::string number = at == std::string::npos ? "" : id.substr(at + 4, 4);
    for (char& c : number) {
        if (!isxdigit(static_cast<unsigned char>(c))) {
            return "";
        }
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return number.size() == 4 ? number : "";
}

// Vendor, product and serial number of a USB port, from its own instance id
// or its parent's: FTDI's bus driver puts a device of its own between, and
// the interface of a composite device (USB\VID_2E8A&PID_000A&MI_00\..., a
// CDC-ACM port) has a made-up last part, the serial number being its parent's.
void AddUsb(DEVINST inst, Port* p)
{
    std::string id = InstanceId(inst);
    const bool usb = id.compare(0, 4, "USB\\") == 0;
    DEVINST parent = 0;
    if ((!usb || id.find("&MI_") != std::string::npos) && CM_Get_Parent(&parent, inst, 0) == CR_SUCCESS) {
        const std::string above = InstanceId(parent);
        id = !usb || above.compare(0, 4, "USB\\") == 0 ? above : id;
    }
    (void)UsbFromInstanceId(id, p);
}

void FromSetupApi(std::vector<Port>* ports)
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        char value[256];
        DWORD size = sizeof value - 1;
        DWORD type = 0;
        const LONG got = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        if (got != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        value[size] = '\0';
        Port p;
        p.Name = ComName(value);  // printer ports are in this class too
        if (p.Name.empty() || Listed(*ports, p.Name)) {
            continue;
        }
        p.Description = Property(set, &dev, SPDRP_FRIENDLYNAME);
        p.Driver = Property(set, &dev, SPDRP_SERVICE);
        p.Maker = Property(set, &dev, SPDRP_MFG);
        AddUsb(dev.DevInst, &p);
        ports->push_back(p);
    }
    SetupDiDestroyDeviceInfoList(set);
}

void FromSerialComm(std::vector<Port>* ports)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; i++) {
        char device[256];
        char value[256];
        DWORD deviceSize = sizeof device;
        DWORD size = sizeof value - 1;
        DWORD type = 0;
        const LONG got = RegEnumValueA(key, i, device, &deviceSize, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        if (got == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (got != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        value[size] = '\0';
        Port p;
        p.Name = ComName(value);
        if (!p.Name.empty() && !Listed(*ports, p.Name)) {
            p.Description = device;  // such as \Device\Serial0
            ports->push_back(p);
        }
    }
    RegCloseKey(key);
}

void FromDosDevices(std::vector<Port>* ports)
{
    std::vector<char> names(65536);
    for (;;) {
        const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0) {
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (size_t{1} << 24)) {
            return;
        }
        names.resize(names.size() * 4);
    }
    for (const char* name = names.data(); *name != '\0'; name += strlen(name) + 1) {
        Port p;
        p.Name = ComName(name);
        if (p.Name.empty() || Listed(*ports, p.Name)) {
            continue;
        }
        char target[1024];
        if (QueryDosDeviceA(name, target, sizeof target) != 0) {
            p.Description = target;
        }
        ports->push_back(p);
    }
}

// Wine gives its programs the prefix as WINECONFIGDIR, \??\Z:\path. Only the
// directory is read; a link whose target is gone is not listed.
void FromWinePrefix(std::vector<Port>* ports)
{
    char dir[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("WINECONFIGDIR", dir, sizeof dir);
    if (n < 4 || n >= sizeof dir || strncmp(dir, "\\??\\", 4) != 0) {
        return;
    }
    const std::string pattern = std::string(dir + 4) + "\\dosdevices\\com*";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        Port p;
        p.Name = ComName(found.cFileName);
        if (!p.Name.empty() && !Listed(*ports, p.Name)) {
            p.Description = "linked in the Wine prefix";
            ports->push_back(p);
        }
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

}  // namespace

bool UsbFromInstanceId(const std::string& id, Port* p)
{
    if (id.compare(0, 4, "USB\\") != 0) {
        return false;
    }
    p->Usb = true;
    p->UsbVendor = IdNumber(id, "VID_");
    p->UsbProduct = IdNumber(id, "PID_");
    // The last part is the serial number when the device has one; Windows
    // makes up a part with '&' in it when it has none.
    const std::string last = id.substr(id.rfind('\\') + 1);
    if (last.find('&') == std::string::npos) {
        p->Serial = last;
        p->StableName = last;  // it follows the adapter from one USB socket to another
    }
    return true;
}

std::vector<Port> FindPorts()
{
    std::vector<Port> ports;
    FromSetupApi(&ports);
    FromSerialComm(&ports);
    FromDosDevices(&ports);
    FromWinePrefix(&ports);
    return ports;
}
