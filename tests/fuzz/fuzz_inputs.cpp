// Fuzz targets of the inputs kestrix-sim reads from its user: every parser
// is one row of the table below, and CMakeLists.txt beside this file builds
// one fuzzer per row (KESTRIX_FUZZ_INPUT names the row). A parser may refuse
// any input with a message; it may not crash, hang or leak, and a refusal is
// one line.
#include "model/script.h"
#include "world/world.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Parser = bool (*)(const std::string &text, std::string &error);

struct Input
{
    const char *name;
    Parser parse;
};

const Input Inputs[] = {
    {"world",
     [](const std::string &text, std::string &error) {
         kxsim::World world;
         return kxsim::parseWorld(text, "fuzz.json", world, error);
     }},
    {"script",
     [](const std::string &text, std::string &error) {
         std::istringstream input(text);
         std::vector<kxsim::ScriptEvent> events;
         return kxsim::parseScript(input, "fuzz.txt", events, error);
     }},
};

const Input &chosen()
{
    for (const Input &input : Inputs)
        if (std::strcmp(input.name, KESTRIX_FUZZ_INPUT) == 0)
            return input;
    std::abort(); // a fuzzer built for a row that is not in the table
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const Input &input = chosen();
    std::string error;
    const bool parsed = input.parse(std::string(reinterpret_cast<const char *>(data), size), error);
    // A refusal is one line that says something; an acceptance says nothing.
    if (parsed != error.empty() || error.find('\n') != std::string::npos || error.size() > 1000)
        std::abort();
    return 0;
}
