// Typed slots for the comma-separated fields of a result line. The caller of
// a request owns them, registers them in field order and reads them after the
// exchange.
#pragma once

#include <string>

namespace TRC {
namespace CFG {

// A bare slot accepts a field and discards it, so it never becomes valid.
class ResponseParamI
{
public:
    // Longest field text a slot accepts; longer texts are ignored.
    static constexpr size_t c_unMaxFieldLength = 2000;

    ResponseParamI() : m_bValid(false) {}
    virtual ~ResponseParamI() = default;

    // szText is the field's NUL-terminated text; it may be changed in place.
    virtual void setValue(char* szText) {}

    bool isValid() const { return m_bValid; }

    // Set once a field has been stored.
    bool m_bValid;

protected:
    // A null text or one longer than c_unMaxFieldLength is not a field.
    static bool isAcceptable(const char* szText);
};

template <class T> class ResponseParamT : public ResponseParamI
{
public:
    T getValue() const { return m_value; }

protected:
    explicit ResponseParamT(const T& initial) : m_value(initial) {}

    T m_value;
};

// Quotes around the field are removed; the search for the field's end skips
// commas inside quotes for this kind only.
class BasicStringResponseParamC : public ResponseParamT<std::string>
{
public:
    BasicStringResponseParamC() : ResponseParamT<std::string>(std::string()) {}
    void setValue(char* szText) override;
};

// Decimal, with atoi's rules: leading blanks, a sign, digits up to the first
// other character; no digits reads as 0. -1 until a field arrives.
class NumberResponseParamC : public ResponseParamT<long>
{
public:
    NumberResponseParamC() : ResponseParamT<long>(-1) {}
    void setValue(char* szText) override;
};

// The number rule; any value but 0 is true.
class BoolResponseParamC : public ResponseParamT<bool>
{
public:
    BoolResponseParamC() : ResponseParamT<bool>(false) {}
    void setValue(char* szText) override;
};

// Registered where a field must be present but is of no interest.
extern ResponseParamI ignoredResponseParam;

} // namespace CFG
} // namespace TRC
