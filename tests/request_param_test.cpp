// Response parameter conversions.
#include "TRC_CFG_ResponseParam.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

using namespace TRC::CFG;

namespace {

// The field's value as text, or "invalid".
template <class ParamT> std::string convert(const std::string& strField)
{
    std::string strText = strField;
    ParamT param;
    param.setValue(&strText[0]);
    if (!param.m_bValid) {
        return "invalid";
    }
    std::ostringstream out;
    out << param.getValue();
    return out.str();
}

} // namespace

TEST(ResponseParam, ConversionsByKind)
{
    const std::tuple<char, std::string, std::string> cases[] = {
        // A string loses only its outer quotes.
        {'s', "\"a,b\"", "a,b"},
        {'s', "plain", "plain"},
        {'s', "\"", ""},
        {'s', "\"\"", ""},
        {'s', "\"open", "open"},
        {'s', "close\"", "close"},
        {'s', "\"in\"ner\"", "in\"ner"},
        {'s', "", ""},
        {'s', std::string(2000, 'a'), std::string(2000, 'a')},
        {'s', std::string(2001, 'a'), "invalid"},
        // Numbers and booleans follow atoi.
        {'n', "7978", "7978"},
        {'n', "12abc", "12"},
        {'n', "", "0"},
        {'n', "  -7", "-7"},
        {'n', "\"5\"", "0"},
        {'n', "0x1F", "0"},
        {'n', std::string(2001, '7'), "invalid"},
        {'b', "0", "0"},
        {'b', "1", "1"},
        {'b', "2", "1"},
        {'b', "\"1\"", "0"},
    };
    for (const auto& [cKind, strField, strValue] : cases) {
        EXPECT_EQ(strValue, cKind == 's'   ? convert<BasicStringResponseParamC>(strField)
                            : cKind == 'n' ? convert<NumberResponseParamC>(strField)
                                           : convert<BoolResponseParamC>(strField))
            << cKind << " \"" << strField.substr(0, 20) << "\"";
    }
}

TEST(ResponseParam, RefusedFieldKeepsTheEarlierValue)
{
    BasicStringResponseParamC text, empty;
    std::string strField(2000, 'a'), strTooLong(2001, '7');
    text.setValue(&strField[0]);
    text.setValue(&strTooLong[0]);
    EXPECT_EQ(std::string(2000, 'a'), text.getValue());
    NumberResponseParamC number;
    number.setValue(nullptr);
    empty.setValue(nullptr);
    EXPECT_FALSE(number.m_bValid || empty.m_bValid);
    EXPECT_EQ(-1, number.getValue());
}
