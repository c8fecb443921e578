// Fuzzes the derivation of the service executable's path from argv[0].
// In host builds the probe opens the file with fopen (the Windows build with
// CreateFileA), which is wrapped at link time (--wrap=fopen) so that the
// target sees every path that would be opened.
#include "../../windows/installer/locate.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" FILE* __real_fopen(const char* path, const char* mode);

namespace {

const char InstallerFileName[] = "quendarixinstall.exe";
const char ServiceFileName[] = "quendarixservice.exe";

std::vector<std::string> Probed;
bool ProbeFinds = false;

void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" FILE* __wrap_fopen(const char* path, const char* mode)
{
    if (strcmp(mode, "rb") != 0) return __real_fopen(path, mode);
    Probed.push_back(path);
    return ProbeFinds ? __real_fopen("/dev/null", "rb") : nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The installer's lines are not what is looked at here.
    Require(freopen("/dev/null", "w", stdout) != nullptr, "stdout to /dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 8192) return 0;
    ProbeFinds = (data[0] & 1) != 0;
    // argv[0] as the runtime hands it over: terminated at its first NUL.
    const std::string argv0(reinterpret_cast<const char*>(data) + 1,
                            strnlen(reinterpret_cast<const char*>(data) + 1, size - 1));

    // Exactly the buffer's size on the heap, so that ASan sees any overrun.
    char* path = static_cast<char*>(malloc(ServiceExecutablePathSize));
    memset(path, 'x', ServiceExecutablePathSize);
    Probed.clear();
    const bool found = LocateServiceExecutable(argv0.c_str(), path);

    const size_t length = strnlen(path, ServiceExecutablePathSize);
    Require(length < ServiceExecutablePathSize, "the path is terminated within 1024 bytes");
    Require(found == (ProbeFinds && !Probed.empty()), "found exactly when the probe opened the file");

    const size_t directory = InstallerDirectoryLength(argv0.c_str());
    Require(directory <= argv0.size(), "the directory is part of argv[0]");
    const std::string expected = argv0.substr(0, directory) + ServiceFileName;

    // The file's own name starts after the last separator, or a drive "X:".
    size_t name = argv0.find_last_of("\\/");
    const bool drive = argv0.size() >= 2 && argv0[1] == ':' && isalpha(static_cast<unsigned char>(argv0[0])) != 0;
    name = name != std::string::npos ? name + 1 : (drive ? 2 : 0);
    const size_t occurrence = argv0.find(InstallerFileName, name);
    Require(directory == (occurrence != std::string::npos ? occurrence : name),
            "the prefix ends at the installer's name in the file's own name, else at the file's folder");

    if (expected.size() <= ServiceExecutablePathSize - 1) {
        Require(Probed.size() == 1 && Probed[0] == expected, "a path that fits is probed once, whole");
        Require(expected == path, "the path kept is the path probed");
    } else {
        Require(Probed.empty(), "a path that would not fit is never probed");
        Require(length == 0, "a path that would not fit is not kept");
    }
    free(path);
    return 0;
}
