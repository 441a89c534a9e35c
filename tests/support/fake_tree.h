// A directory tree that torvex-ports, and the rack's discovery, read as if
// it were / (TORVEX_PORTS_ROOT): sysfs entries, device nodes and by-id links.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// A directory tree read by torvex-ports as if it were /.
class Tree {
public:
    Tree()
    {
        char dir[] = "/tmp/torvex-ports-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = dir;
        chmod(root_.c_str(), 0755);
    }
    ~Tree()
    {
        nftw(root_.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    const std::string& Root() const { return root_; }

    void Dir(const std::string& path)
    {
        std::string at = root_;
        size_t from = 0;
        while (from <= path.size()) {
            size_t slash = path.find('/', from);
            if (slash == std::string::npos) {
                slash = path.size();
            }
            at += "/" + path.substr(from, slash - from);
            mkdir(at.c_str(), 0755);
            from = slash + 1;
        }
    }
    void File(const std::string& path, const std::string& content, mode_t mode = 0644, gid_t gid = 0)
    {
        Dir(path.substr(0, path.rfind('/')));
        const std::string at = root_ + "/" + path;
        std::ofstream(at) << content;
        chmod(at.c_str(), mode);
        if (chown(at.c_str(), 0, gid) != 0) {
            throw std::runtime_error("chown failed");
        }
    }
    // A relative link, as sysfs and udev make them, so that it stays inside the tree.
    void Link(const std::string& path, const std::string& target)
    {
        Dir(path.substr(0, path.rfind('/')));
        std::string up;
        for (char c : path) {
            if (c == '/') {
                up += "../";
            }
        }
        symlink((up + target).c_str(), (root_ + "/" + path).c_str());
    }
    void Remove(const std::string& path) { unlink((root_ + "/" + path).c_str()); }
    // The attributes of a USB device, in the order vendor, product, maker, product name, serial.
    void Usb(const std::string& dir, const std::vector<std::string>& values)
    {
        const char* const names[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
        for (size_t i = 0; i < values.size(); i++) {
            File(dir + "/" + names[i], values[i] + "\n");
        }
    }

private:
    std::string root_;
};

