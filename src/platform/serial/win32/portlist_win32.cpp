// The system's serial ports on Windows, for `zentrel-cli --list`: the serial device map of the
// registry (HARDWARE\DEVICEMAP\SERIALCOMM: driver device -> COMn) and the COMn names of the DOS
// device namespace, without opening any port. The driver is named by its service (Serial, usbser,
// FTSER2K...) from the ports class of the device manager, else by its device. Who holds a port open is not
// published, so the users are reported as unknown.
#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "platform/serial/portlist.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>
// windows.h first: setupapi needs its types.
#include <setupapi.h>

namespace ser {

namespace {

// COMn -> the service of the driver behind it, for the ports present in the device manager.
std::map<std::string, std::string> services_by_port() {
    // The device manager's class of serial and parallel ports.
    static const GUID ports_class = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    std::map<std::string, std::string> out;
    HDEVINFO set = SetupDiGetClassDevsA(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = "", service[128] = "";
        DWORD len = sizeof name - 1, type = 0;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &len) ==
                ERROR_SUCCESS &&
            type == REG_SZ &&
            SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr,
                                              reinterpret_cast<BYTE*>(service), sizeof service - 1,
                                              nullptr)) {
            name[len] = '\0';
            std::string com = name;
            for (char& ch : com) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            out[com] = service;
        }
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

}  // namespace

std::vector<port_info> list_ports(const std::string& prefix, const list_roots&) {
    const std::map<std::string, std::string> services = services_by_port();
    std::map<std::string, port_info> found;  // by COM name
    auto add = [&](const std::string& com, const std::string& device) {
        int n = 0;
        std::string pre;
        if (!split_port_path(com, &pre, &n) || pre.size() != 3 || _strnicmp(pre.c_str(), "COM", 3) != 0)
            return;
        port_info& p = found[com];
        p.path = "\\\\.\\COM" + std::to_string(n);
        if (auto s = services.find("COM" + std::to_string(n)); s != services.end())
            p.driver = s->second;
        else if (!device.empty() && p.driver.empty())
            p.driver = device;
        p.users_known = false;
    };
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0;; i++) {
            char name[256], data[256];
            DWORD nlen = sizeof name, dlen = sizeof data - 1, type = 0;
            LONG r = RegEnumValueA(key, i, name, &nlen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dlen);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS || type != REG_SZ) continue;
            data[dlen] = '\0';
            std::string dev = name;  // "\Device\Serial0": the driver's own name for the device
            if (auto slash = dev.rfind('\\'); slash != std::string::npos) dev = dev.substr(slash + 1);
            add(data, dev);
        }
        RegCloseKey(key);
    }
    // Every COMn the DOS namespace knows, the adapters that are not in the device map included.
    // The list has no size limit (every drive, pipe and device link of the session): grown until
    // it fits, so that no port falls off the end of a long one.
    std::string names;
    DWORD len = 0;
    for (size_t size = 65536; size <= (size_t{64} << 20) && len == 0; size *= 4) {
        names.assign(size, '\0');
        len = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (len == 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    }
    for (size_t at = 0; at < len && names[at];) {
        std::string n = names.c_str() + at;
        at += n.size() + 1;
        if (n.size() > 3 && _strnicmp(n.c_str(), "COM", 3) == 0) {
            std::string upper = "COM" + n.substr(3);
            if (!found.count(upper)) add(upper, "");
        }
    }
    (void)prefix;  // device names outside the COM namespace cannot be found without opening them
    std::vector<port_info> out;
    for (auto& [name, p] : found) out.push_back(p);
    std::sort(out.begin(), out.end(), [](const port_info& a, const port_info& b) {
        std::string pa, pb;
        int na = 0, nb = 0;
        split_port_path(a.path, &pa, &na);
        split_port_path(b.path, &pb, &nb);
        return na < nb;
    });
    return out;
}

}  // namespace ser
