// A small real package database for tests. rpm keeps its database under
// HOME (~/.rpmdb), so while a TestRpmDb lives HOME points at a fresh
// directory on tmpfs, and /usr/bin/rpm run by this process or its children
// answers from the packages added here. Files are only recorded, never
// installed.
#pragma once

#include <string>
#include <vector>

struct TestPackage {
    std::string name;
    std::string version = "1.0";
    std::string release = "1";
    std::vector<std::string> dirs;   // absolute paths listed as directories
    std::vector<std::string> files;  // absolute paths listed as files
};

class TestRpmDb {
public:
    TestRpmDb();
    ~TestRpmDb();
    TestRpmDb(const TestRpmDb&) = delete;
    TestRpmDb& operator=(const TestRpmDb&) = delete;

    // Builds each package with rpmbuild and records them all in the
    // database. Throws std::runtime_error with rpm's output on failure.
    void add(const std::vector<TestPackage>& packages);

private:
    std::string m_root;
    std::string m_home;
    std::string m_oldHome;
    int m_specCount = 0;
};
