#ifndef NORRWEB_HTTPNOTE_H
#define NORRWEB_HTTPNOTE_H

namespace norrweb {

/// What a request handler works out from a request or a connection and keeps
/// with it, so that it is worked out once however often it is asked (the
/// command a request names; the account a connection's client runs as).
/// http/ only holds notes; the handler that made one knows its type.
class HttpNote
{
public:
    virtual ~HttpNote() = default;
};

} // namespace norrweb

#endif // NORRWEB_HTTPNOTE_H
