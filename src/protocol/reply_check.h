// What a call knows of its reply beyond the message format. Replies carry no length, and over a
// byte stream one may arrive in pieces; a piece that ends between two fields decodes as a
// shorter reply. So the device call decodes what has arrived and reads on while the decoded
// reply still lacks something its return value promises.
#pragma once

namespace dravenholt {

class ReplyCheck {
public:
    // Before each decoding: puts what the response's field callbacks fill back as it was
    // before the first, so that a reply decoded again is not taken twice.
    virtual void restart() = 0;
    // Whether the reply just decoded carries everything its return value promises.
    virtual bool whole() const = 0;

protected:
    ~ReplyCheck() = default;
};

}  // namespace dravenholt
