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
    explicit UniqueFd(int v_iFd = -1) : m_fd(v_iFd) {}
    ~UniqueFd() { if (m_fd >= 0) ::close(m_fd); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

struct DirCloser
{
    void operator()(DIR *v_pDir) const { ::closedir(v_pDir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

} // namespace qtxplatform
