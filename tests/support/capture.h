// Small helpers shared by the tests: temporary directories, whole-file reads
// and writes, and capture of what a piece of code prints.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct captured_output {
    std::string out;
    std::string err;
};

// Runs work with standard output and standard error captured.
captured_output capture(const std::function<void()> &work);

// A fresh directory, removed with everything in it when the owner goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Every line of text that begins with prefix.
std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix);
