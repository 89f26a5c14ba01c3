// A fixture with a folder of its own under /tmp, made before each test and
// removed after it with everything the test or its programs left there, and
// a way to run a program with its output kept in that folder.
#ifndef KESTRIX_TESTS_SCRATCH_FOLDER_H
#define KESTRIX_TESTS_SCRATCH_FOLDER_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

// How a program run by ScratchFolder::runProgram ended.
struct ProgramRun
{
    int status = -1; // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
    double realSeconds = 0;
    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        std::istringstream text(out);
        for (std::string line; std::getline(text, line);)
            result.push_back(line);
        return result;
    }
};

class ScratchFolder : public ::testing::Test
{
protected:
    // `prefix` names the folder (/tmp/PREFIX.XXXXXX), so one left behind by
    // a crash tells which tests made it.
    explicit ScratchFolder(std::string prefix) : m_prefix(std::move(prefix)) {}

    void SetUp() override
    {
        std::string pattern = "/tmp/" + m_prefix + ".XXXXXX";
        std::vector<char> folder(pattern.begin(), pattern.end());
        folder.push_back('\0');
        ASSERT_NE(::mkdtemp(folder.data()), nullptr) << pattern;
        m_folder = folder.data();
    }
    void TearDown() override
    {
        if (!m_folder.empty())
            ::nftw(m_folder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    }

    std::string file(const std::string &name) const { return m_folder + "/" + name; }
    // Writes `text` as it is into the folder's `name`; gives back its path.
    std::string write(const std::string &name, const std::string &text) const
    {
        std::ofstream(file(name), std::ios::binary) << text;
        return file(name);
    }

    std::string read(const std::string &name) const
    {
        std::ifstream input(file(name), std::ios::binary);
        std::stringstream text;
        text << input.rdbuf();
        return text.str();
    }

    // Starts `program` with `arguments`. Its standard output and error go to
    // the folder's files "stdout" and "stderr" rather than pipes, so a chatty
    // program never blocks on a full pipe while nobody reads. A program that
    // cannot be started exits with 125, a status no launcher under test uses.
    pid_t startProgram(const std::string &program, const std::vector<std::string> &arguments) const
    {
        const std::string outPath = file("stdout"), errPath = file("stderr");
        const pid_t child = ::fork();
        if (child == 0) {
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char *> argv{const_cast<char *>(program.c_str())};
            for (const std::string &argument : arguments)
                argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(125);
        }
        return child;
    }

    // Runs `program` with `arguments` (as startProgram) and waits for it.
    ProgramRun runProgram(const std::string &program, const std::vector<std::string> &arguments) const
    {
        ProgramRun run;
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = startProgram(program, arguments);
        int status = 0;
        ::waitpid(child, &status, 0);
        run.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = read("stdout");
        run.err = read("stderr");
        return run;
    }

    std::string m_folder;

private:
    static int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return std::remove(path); }

    std::string m_prefix;
};

#endif
