// Why a program cannot run on the simulator, in the user's terms: what the
// kernel refused, or why the simulator never started in a program that ran.
#include "launcher/launch_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxsim {

namespace {

// The dynamic loader's status when it cannot start a program.
constexpr int LoaderFailed = 127;

struct ElfFacts
{
    bool elf = false;
    unsigned machine = 0;
    bool dynamic = false;             // names a program interpreter (the dynamic loader)
    std::vector<std::string> needed; // the shared libraries it names
};

// Reads what the kernel and the dynamic loader read to start a program: the
// ELF header, the program headers and the dynamic section, in the file's
// own byte order. Anything malformed just ends the reading.
ElfFacts inspect(const std::string &path)
{
    ElfFacts facts;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return facts;
    unsigned char header[64] = {};
    if (::pread(fd, header, sizeof header, 0) < 52 || std::memcmp(header, ELFMAG, SELFMAG) != 0) {
        ::close(fd);
        return facts;
    }
    const bool big = header[EI_DATA] == ELFDATA2MSB;
    const bool wide = header[EI_CLASS] == ELFCLASS64;
    const int word = wide ? 8 : 4;
    auto read = [&](const unsigned char *at, int bytes) {
        unsigned long long value = 0;
        for (int n = 0; n < bytes; ++n)
            value |= static_cast<unsigned long long>(at[big ? bytes - 1 - n : n]) << (8 * n);
        return value;
    };
    facts.elf = true;
    facts.machine = unsigned(read(header + 18, 2));
    const unsigned long long table = read(header + (wide ? 32 : 28), word);
    const unsigned entry = unsigned(read(header + (wide ? 54 : 42), 2));
    const unsigned count = std::min(unsigned(read(header + (wide ? 56 : 44), 2)), 256u);
    struct Segment { unsigned long long offset, address, size; };
    std::vector<Segment> loads;
    Segment dynamic{0, 0, 0};
    unsigned char row[56];
    for (unsigned n = 0; n < count && entry >= (wide ? 56u : 32u); ++n) {
        if (::pread(fd, row, sizeof row, off_t(table + n * entry)) < (wide ? 56 : 32))
            break;
        const Segment segment{read(row + (wide ? 8 : 4), word), read(row + (wide ? 16 : 8), word),
                              read(row + (wide ? 32 : 16), word)};
        const auto type = read(row, 4);
        if (type == PT_INTERP)
            facts.dynamic = true;
        else if (type == PT_LOAD)
            loads.push_back(segment);
        else if (type == PT_DYNAMIC)
            dynamic = segment;
    }
    // The dynamic section names its strings by address: find them in the file.
    auto fileOffset = [&](unsigned long long address) -> long long {
        for (const Segment &load : loads)
            if (address >= load.address && address < load.address + load.size)
                return (long long)(load.offset + (address - load.address));
        return -1;
    };
    std::vector<unsigned long long> names;
    long long strings = -1;
    for (unsigned long long at = 0; at + 2 * word <= std::min(dynamic.size, 65536ull); at += 2 * word) {
        if (::pread(fd, row, std::size_t(2 * word), off_t(dynamic.offset + at)) < 2 * word)
            break;
        const auto tag = read(row, word), value = read(row + word, word);
        if (tag == DT_NULL)
            break;
        if (tag == DT_NEEDED)
            names.push_back(value);
        else if (tag == DT_STRTAB)
            strings = fileOffset(value);
    }
    for (unsigned long long name : names) {
        char text[256] = {};
        if (strings >= 0 && ::pread(fd, text, sizeof text - 1, off_t(strings + (long long)name)) > 0)
            facts.needed.emplace_back(text);
    }
    ::close(fd);
    return facts;
}

std::string machineName(unsigned machine)
{
    switch (machine) {
    case EM_386: return "32-bit x86";
    case EM_X86_64: return "x86-64";
    case EM_ARM: return "32-bit ARM";
    case EM_AARCH64: return "64-bit ARM";
    case EM_RISCV: return "RISC-V";
    case EM_MIPS: return "MIPS";
    case EM_PPC64: return "64-bit PowerPC";
    default: return "ELF machine " + std::to_string(machine);
    }
}

std::string wrongArchitecture(const std::string &program, const ElfFacts &facts, const ElfFacts &own)
{
    std::string message = program + " is a program for " + machineName(facts.machine) + ", this machine runs "
                          + machineName(own.machine);
    if (facts.machine == EM_ARM)
        message += "; run it on the board, or on the board build of the simulator under the emulator (README, "
                   "Building for the board): qemu-arm -L /usr/arm-linux-gnueabihf -E "
                   "LD_PRELOAD=build-arm/emulation/libexec_through_emulator.so build-arm/sim/kestrix-sim "
                   + program;
    else
        message += "; build it for this machine";
    return message;
}

// The interpreter a script's #! line names.
std::string interpreter(const std::string &script)
{
    char line[256] = {};
    const int fd = ::open(script.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : ::read(fd, line, sizeof line - 1);
    if (fd >= 0)
        ::close(fd);
    if (got < 2 || line[0] != '#' || line[1] != '!')
        return "(no #! line)";
    std::string text(line + 2, std::size_t(got - 2));
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "(empty #! line)";
    return text.substr(start, text.find_first_of(" \t\n", start) - start);
}


// The shared libraries the dynamic loader cannot find for `program`, asked
// of the loader itself in its listing mode (the program does not run).
std::vector<std::string> missingLibraries(const std::string &program)
{
    std::vector<std::string> missing;
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        return missing;
    // The panel's thread may run: the child only makes system calls.
    std::vector<std::string> environment{"LD_TRACE_LOADED_OBJECTS=1"};
    for (char **entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0 && std::strncmp(*entry, "LD_TRACE_LOADED_OBJECTS=", 24) != 0)
            environment.emplace_back(*entry);
    std::vector<char *> variables;
    for (std::string &variable : environment)
        variables.push_back(variable.data());
    variables.push_back(nullptr);
    char *arguments[] = {const_cast<char *>(program.c_str()), nullptr};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execve(program.c_str(), arguments, variables.data());
        ::_exit(LoaderFailed);
    }
    ::close(output[1]);
    std::string listing;
    char buffer[4096];
    for (ssize_t got; listing.size() < 65536 && (got = ::read(output[0], buffer, sizeof buffer)) != 0;)
        if (got > 0)
            listing.append(buffer, std::size_t(got));
        else if (errno != EINTR)
            break;
    ::close(output[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    for (std::size_t start = 0; start < listing.size();) {
        const std::size_t end = std::min(listing.find('\n', start), listing.size());
        const std::string line = listing.substr(start, end - start);
        const std::size_t name = line.find_first_not_of(" \t");
        if (line.find("=> not found") != std::string::npos && name != std::string::npos)
            missing.push_back(line.substr(name, line.find(' ', name) - name));
        start = end + 1;
    }
    return missing;
}

constexpr const char *PrefixHint = ": the loader does not look where it is installed; for a library under a "
                                   "non-system prefix, run with LD_LIBRARY_PATH=PREFIX/lib/... or link the "
                                   "program with -Wl,-rpath,PREFIX/lib/...";

} // namespace

std::string execFailure(const std::string &program, int error)
{
    const ElfFacts facts = inspect(program);
    const ElfFacts own = inspect("/proc/self/exe");
    if (facts.elf && own.elf && facts.machine != own.machine)
        return wrongArchitecture(program, facts, own);
    if (error == ENOEXEC && !facts.elf)
        return program + " is neither a program nor a script with a #! line";
    if (error == ENOENT && !facts.elf)
        return "cannot run " + program + ": its interpreter " + interpreter(program) + " is missing";
    if (error == ENOENT)
        return "cannot run " + program + ": its dynamic loader is missing (a program for another system?)";
    return "cannot run " + program + ": " + std::strerror(error);
}

std::string withoutSimulator(const std::string &program, int waitStatus)
{
    const ElfFacts facts = inspect(program);
    const ElfFacts own = inspect("/proc/self/exe");
    if (facts.elf && own.elf && facts.machine != own.machine)
        return wrongArchitecture(program, facts, own);
    if (facts.elf && !facts.dynamic)
        return program + " ran without the simulator: it is statically linked, and the simulator stands in "
                         "for the board at the dynamic linker; link it against the shared libkestrix";
    if (facts.elf && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == LoaderFailed) {
        const std::vector<std::string> missing = missingLibraries(program);
        const auto ours = std::find_if(facts.needed.begin(), facts.needed.end(), [](const std::string &library) {
            return library.rfind("libkestrix", 0) == 0;
        });
        // Under user-mode emulation the loader's listing is the emulator's
        // own: then only the libraries the program names are known.
        if (missing.empty() && ours != facts.needed.end())
            return program + " cannot load " + *ours + " or another library it needs (the loader's message above "
                   + "names it)" + PrefixHint;
        if (!missing.empty()) {
            std::string names;
            for (const std::string &library : missing)
                names += (names.empty() ? "" : ", ") + library;
            return program + " cannot load " + names + PrefixHint;
        }
    }
    return "the simulator did not start in " + program
           + " (the loader refused the simulator library, or the program cleared LD_PRELOAD)";
}

} // namespace kxsim
