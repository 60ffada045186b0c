// A scratch directory tree on tmpfs, removed when the object goes.
#pragma once

#include <string>

class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return m_root; }
    // Absolute path of a path relative to the root ("" is the root).
    std::string path(const std::string& rel) const;

    // Each creates its parents and returns the absolute path; failures throw.
    std::string dir(const std::string& rel, unsigned mode = 0755);
    std::string file(const std::string& rel, const std::string& content = "", unsigned mode = 0644);
    std::string symlink(const std::string& rel, const std::string& target);
    std::string fifo(const std::string& rel);
    // A listening unix socket bound at the path (closed again; the node stays).
    std::string socket(const std::string& rel);

private:
    std::string makeParents(const std::string& rel) const;
    std::string m_root;
};

// The raw value of an extended attribute ("" when absent), not following a final link.
std::string readXattr(const std::string& path, const char* name = "security.vetu");

// Whether a path exists, without following a final symbolic link.
bool pathExists(const std::string& path);
