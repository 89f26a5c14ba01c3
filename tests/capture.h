// Captures what the library writes to standard output or standard error at
// the descriptor level, so that C stdio, iostreams and perror are all seen.
#ifndef KESTRIX_TESTS_CAPTURE_H
#define KESTRIX_TESTS_CAPTURE_H

#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

class Capture
{
public:
    // fd is 1 (standard output) or 2 (standard error).
    explicit Capture(int fd)
        : m_fd(fd)
    {
        flushAll();
        m_file = std::tmpfile();
        m_saved = ::dup(m_fd);
        ::dup2(::fileno(m_file), m_fd);
    }

    ~Capture()
    {
        if (m_file)
            text();
    }

    // Ends the capture (flushing the streams first) and returns what was
    // written meanwhile.
    std::string text()
    {
        if (m_file == nullptr)
            return m_text;
        flushAll();
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        std::rewind(m_file);
        char buffer[4096];
        std::size_t length;
        while ((length = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
            m_text.append(buffer, length);
        std::fclose(m_file);
        m_file = nullptr;
        return m_text;
    }

    // What reached the descriptor so far, without flushing any stream.
    std::string unflushed() const
    {
        std::string text;
        char buffer[4096];
        ssize_t length;
        off_t offset = 0;
        while ((length = ::pread(::fileno(m_file), buffer, sizeof buffer, offset)) > 0) {
            text.append(buffer, static_cast<std::size_t>(length));
            offset += length;
        }
        return text;
    }

    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

private:
    static void flushAll()
    {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(stdout);
        std::fflush(stderr);
    }

    int m_fd;
    int m_saved = -1;
    std::FILE *m_file = nullptr;
    std::string m_text;
};

#endif
