// veltra: the command-line tool of the package.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr GUID kVeltraInterface = {
    0x4A8924E1, 0xA143, 0x44C2, {0x8E, 0xC1, 0x64, 0xEC, 0x73, 0xF9, 0x0F, 0x96}};
constexpr GUID kKestaInterface = {
    0x6E8B60DA, 0xDD4F, 0x4D5E, {0xAD, 0x9E, 0x5A, 0x9E, 0x06, 0xC2, 0x8A, 0xCD}};

std::vector<std::string> interfacePaths(const GUID& guid) {
    std::vector<std::string> paths;
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

void listInterfaces(const char* title, const GUID& guid) {
    std::printf("%s interfaces:\n", title);
    const auto paths = interfacePaths(guid);
    for (size_t i = 0; i < paths.size(); ++i) {
        HANDLE h = CreateFileA(paths[i].c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("  [%zu] %s  (open failed: error %lu)\n", i, paths[i].c_str(),
                        static_cast<unsigned long>(GetLastError()));
            continue;
        }
        std::printf("  [%zu] %s  (opened)\n", i, paths[i].c_str());
        CloseHandle(h);
    }
    if (paths.empty())
        std::printf("  none\n");
}

int demo() {
    listInterfaces("VELTRA", kVeltraInterface);
    listInterfaces("KESTA", kKestaInterface);
    return 0;
}

void usage() {
    std::printf(
        "usage: veltra COMMAND\n"
        "  demo    show the cards and what the package does with them\n"
        "  list    list the device interfaces of the cards\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string command = argv[1];
    if (command == "demo")
        return demo();
    if (command == "list") {
        listInterfaces("VELTRA", kVeltraInterface);
        listInterfaces("KESTA", kKestaInterface);
        return 0;
    }
    usage();
    return 2;
}
