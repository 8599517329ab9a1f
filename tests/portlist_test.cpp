// The port listing on a made-up sysfs, /dev and /proc: what each kind of port looks like to it.
#include "platform/serial/portlist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct fake_system {
    fs::path root;
    ser::list_roots roots;

    fake_system() {
        char tmpl[] = "/tmp/zentrel-sysfs-XXXXXX";
        root = ::mkdtemp(tmpl);
        roots = {(root / "sys").string(), (root / "dev").string(), (root / "proc").string()};
        fs::create_directories(root / "dev");
    }
    ~fake_system() { fs::remove_all(root); }

    void file(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    }
    void link(const fs::path& p, const fs::path& target) {
        fs::create_directories(p.parent_path());
        fs::create_directory_symlink(target, p);
    }
    // A device directory on `bus` bound to `driver`.
    fs::path device(const std::string& rel, const std::string& bus, const std::string& driver) {
        fs::path d = root / "sys/devices" / rel;
        fs::create_directories(d);
        fs::create_directories(root / "sys/bus" / bus / "drivers" / driver);
        link(d / "subsystem", root / "sys/bus" / bus);
        link(d / "driver", root / "sys/bus" / bus / "drivers" / driver);
        return d;
    }
    fs::path tty(const std::string& name, const fs::path& dev) {
        fs::path t = root / "sys/class/tty" / name;
        fs::create_directories(t);
        if (!dev.empty()) link(t / "device", dev);
        file(root / "dev" / name, "");
        return t;
    }
};

TEST(PortList, SysfsTellsDriversUartsPlaceholdersAndWhoHoldsEachPort) {
    fake_system s;
    // The console UART behind the serial-base bus of Linux 6.5: pnp controller, ctrl, port.
    s.device("pnp0/00:00", "pnp", "serial");
    s.device("pnp0/00:00/00:00:0", "serial-base", "ctrl");
    fs::path t0 = s.tty("ttyS0", s.device("pnp0/00:00/00:00:0/00:00:0.0", "serial-base", "port"));
    s.file(t0 / "type", "4");
    s.file(t0 / "uartclk", "1843200");
    s.file(s.root / "sys/class/tty/console/active", "tty0 ttyS0");
    // A legacy 8250 slot with no UART, and a virtual terminal (no device: not a serial port).
    fs::path t1 = s.tty("ttyS1", s.device("platform/serial8250", "platform", "serial8250"));
    s.file(t1 / "type", "0");
    s.file(t1 / "uartclk", "1843200");
    s.tty("tty0", {});
    // USB adapters: one free, one open by a terminal program, one locked by an analyzer, one free.
    for (int i = 0; i < 5; i++) {
        std::string n = "ttyUSB" + std::to_string(i);
        s.tty(n,
              s.device("pci0000:00/usb1/1-1/1-1:1." + std::to_string(i) + "/" + n, "usb-serial", "ftdi_sio"));
    }
    s.link(s.root / "proc/77/fd/3", s.root / "dev/ttyUSB1");
    s.file(s.root / "proc/77/comm", "minicom");
    struct stat st {};
    ASSERT_EQ(::stat((s.root / "dev/ttyUSB2").c_str(), &st), 0);
    char lock[160];
    std::snprintf(lock, sizeof lock, "1: FLOCK  ADVISORY  WRITE 4242 %02x:%02x:%llu 0 EOF", major(st.st_dev),
                  minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    s.file(s.root / "proc/locks", std::string("1: POSIX  ADVISORY  WRITE 9 00:01:2 0 EOF\n") + lock);

    auto ports = ser::list_ports("", s.roots);
    const std::string dev = s.roots.dev;
    ASSERT_EQ(ports.size(), 7u);
    EXPECT_EQ(ports[0].path, dev + "/ttyS0");
    EXPECT_EQ(ports[0].driver, "serial");
    EXPECT_EQ(ports[0].bus, "pnp");
    EXPECT_EQ(ports[0].uart, "16550A");
    EXPECT_EQ(ports[0].base_baud, 115200u);
    EXPECT_TRUE(ports[0].console && ports[0].in_use());
    EXPECT_TRUE(ports[1].placeholder);
    EXPECT_EQ(ports[1].base_baud, 0u);
    EXPECT_EQ(ports[1].driver, "serial8250");
    EXPECT_EQ(ports[2].path, dev + "/ttyUSB0");
    EXPECT_EQ(ports[2].driver, "ftdi_sio");
    EXPECT_EQ(ports[2].bus, "usb-serial");
    EXPECT_TRUE(ports[2].uart.empty());
    EXPECT_FALSE(ports[2].in_use());
    EXPECT_EQ(ports[3].users, std::vector<std::string>{"77 (minicom)"});
    EXPECT_TRUE(ports[4].locked && ports[4].users.empty());
    EXPECT_FALSE(ports[5].in_use() || ports[6].in_use());

    // The longest run of free ports is suggested; the console, placeholders and held ports never.
    auto sugg = ser::suggest(ports);
    ASSERT_EQ(sugg.size(), 1u);
    EXPECT_EQ(sugg[0].prefix, dev + "/ttyUSB");
    EXPECT_EQ(sugg[0].first, 3);
    EXPECT_EQ(sugg[0].count, 2);
    std::string text = ser::list_text(ports);
    EXPECT_NE(text.find("zentrel -d " + dev + "/ttyUSB -n 2 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("no UART (legacy placeholder)"), std::string::npos) << text;
    EXPECT_NE(text.find("in use: system console"), std::string::npos) << text;
    EXPECT_NE(text.find("in use: open by 77 (minicom)"), std::string::npos) << text;
    std::string json = ser::list_json(ports);
    EXPECT_NE(json.find("\"uart\":\"16550A\",\"base_baud\":115200,\"placeholder\":false,\"in_use\":true"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"command\":\"zentrel -d " + dev + "/ttyUSB -n 2 3\""), std::string::npos) << json;
}

}  // namespace
