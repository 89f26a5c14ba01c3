// A fixture with a folder of its own under /tmp, made before each test and
// removed after it with everything the test or its programs left there.
#ifndef KESTRIX_TESTS_SCRATCH_FOLDER_H
#define KESTRIX_TESTS_SCRATCH_FOLDER_H

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <ftw.h>
#include <stdlib.h>

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

    std::string m_folder;

private:
    static int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return std::remove(path); }

    std::string m_prefix;
};

#endif
