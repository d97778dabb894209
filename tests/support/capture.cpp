#include "capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

captured_output capture(const std::function<void()> &work)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    work();
    captured_output result;
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

temp_dir::temp_dir()
{
    char templ[] = "/tmp/tavrin-test.XXXXXX";
    if (mkdtemp(templ) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

temp_dir::~temp_dir()
{
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0)
        ADD_FAILURE() << "could not remove " << path_;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}
