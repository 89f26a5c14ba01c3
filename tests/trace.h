// The simulator's CSV trace (--trace): a header of column names, then a row
// of numbers every 0.1 s of simulated time.
#ifndef KESTRIX_TESTS_TRACE_H
#define KESTRIX_TESTS_TRACE_H

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct Trace
{
    std::vector<std::string> header;
    std::vector<std::vector<double>> rows;

    // Reads the trace at `path`; a row of another width than the header
    // fails the test.
    static Trace read(const std::string &path)
    {
        Trace result;
        std::ifstream input(path);
        std::string line;
        if (std::getline(input, line)) {
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, ',');)
                result.header.push_back(cell);
        }
        while (std::getline(input, line)) {
            std::vector<double> row;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, ',');)
                row.push_back(std::stod(cell));
            EXPECT_EQ(row.size(), result.header.size()) << line;
            result.rows.push_back(row);
        }
        return result;
    }

    std::size_t column(const std::string &name) const
    {
        for (std::size_t i = 0; i < header.size(); ++i)
            if (header[i] == name)
                return i;
        ADD_FAILURE() << "no column " << name;
        return 0;
    }
    std::vector<double> values(const std::string &name) const
    {
        std::vector<double> result;
        const std::size_t c = column(name);
        for (const auto &row : rows)
            result.push_back(row.at(c));
        return result;
    }
    // The value at simulated time `t`.
    double at(double t, const std::string &name) const
    {
        const std::size_t row = std::size_t(std::lround(t * 10));
        if (row >= rows.size()) {
            ADD_FAILURE() << "trace ends before " << t << " s";
            return NAN;
        }
        return rows[row][column(name)];
    }
    // Heading without the jumps at +-180 degrees.
    std::vector<double> unwrappedHeading() const
    {
        std::vector<double> result = values("heading_deg");
        for (std::size_t k = 1; k < result.size(); ++k)
            result[k] = result[k - 1] + std::remainder(result[k] - result[k - 1], 360.0);
        return result;
    }
};

#endif
