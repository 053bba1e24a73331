#pragma once

// Owners of a file descriptor and of an open directory, closed when they go
// out of scope; shared by the readers of /proc, netlink and logind files.

#include <dirent.h>
#include <unistd.h>

#include <memory>

namespace qtxplatform {

class UniqueFd
{
public:
    explicit UniqueFd(int v_iFd = -1) : m_iFd(v_iFd) {}
    ~UniqueFd() { if (m_iFd >= 0) ::close(m_iFd); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return m_iFd; }
    bool valid() const { return m_iFd >= 0; }

private:
    int m_iFd;
};

struct DirCloser
{
    void operator()(DIR *v_pDir) const { ::closedir(v_pDir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

} // namespace qtxplatform
