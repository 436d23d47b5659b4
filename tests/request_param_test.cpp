// Response parameter conversions.
#include "TRC_CFG_ResponseParam.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace TRC::CFG;

namespace {

template <class ParamT> ParamT convert(const std::string& strField)
{
    std::vector<char> vecText(strField.begin(), strField.end());
    vecText.push_back('\0');
    ParamT param;
    param.setValue(vecText.data());
    return param;
}

} // namespace

TEST(ResponseParam, StringLosesOnlyItsOuterQuotes)
{
    const struct
    {
        const char* szField;
        const char* szValue;
    } cases[] = {
        {"\"a,b\"", "a,b"},
        {"plain", "plain"},
        {"\"", ""},
        {"\"\"", ""},
        {"\"open", "open"},
        {"close\"", "close"},
        {"\"in\"ner\"", "in\"ner"},
        {"", ""},
    };
    for (const auto& c : cases) {
        BasicStringResponseParamC param = convert<BasicStringResponseParamC>(c.szField);
        EXPECT_TRUE(param.m_bValid) << c.szField;
        EXPECT_EQ(c.szValue, param.getValue()) << c.szField;
    }
}

TEST(ResponseParam, NumberAndBoolFollowAtoiRules)
{
    const struct
    {
        const char* szField;
        long lValue;
    } numbers[] = {{"7978", 7978}, {"12abc", 12}, {"", 0},   {"  -7", -7},
                   {"+3", 3},      {"\"5\"", 0},  {"x1", 0}, {"0x1F", 0}};
    for (const auto& c : numbers) {
        NumberResponseParamC param = convert<NumberResponseParamC>(c.szField);
        EXPECT_TRUE(param.m_bValid) << c.szField;
        EXPECT_EQ(c.lValue, param.getValue()) << c.szField;
    }
    const struct
    {
        const char* szField;
        bool bValue;
    } flags[] = {{"0", false}, {"1", true}, {"2", true}, {"\"1\"", false}, {"-1", true}};
    for (const auto& c : flags) {
        BoolResponseParamC param = convert<BoolResponseParamC>(c.szField);
        EXPECT_TRUE(param.m_bValid) << c.szField;
        EXPECT_EQ(c.bValue, param.getValue()) << c.szField;
    }
}

TEST(ResponseParam, InitialValuesStayUntilAFieldArrives)
{
    NumberResponseParamC number;
    BoolResponseParamC flag;
    BasicStringResponseParamC text;
    EXPECT_EQ(-1, number.getValue());
    EXPECT_FALSE(flag.getValue());
    EXPECT_EQ("", text.getValue());
    EXPECT_FALSE(number.m_bValid || flag.m_bValid || text.m_bValid);

    number.setValue(nullptr);
    text.setValue(nullptr);
    EXPECT_FALSE(number.m_bValid || text.m_bValid);
}

TEST(ResponseParam, FieldsOver2000CharactersAreIgnored)
{
    BasicStringResponseParamC accepted = convert<BasicStringResponseParamC>(std::string(2000, 'a'));
    EXPECT_TRUE(accepted.m_bValid);
    EXPECT_EQ(2000u, accepted.getValue().size());

    std::string strTooLong(2001, '7');
    accepted.setValue(&strTooLong[0]);
    EXPECT_EQ(std::string(2000, 'a'), accepted.getValue());

    NumberResponseParamC number;
    number.setValue(&strTooLong[0]);
    EXPECT_FALSE(number.m_bValid);
    EXPECT_EQ(-1, number.getValue());
}

TEST(ResponseParam, PlaceholderNeverBecomesValid)
{
    char szField[] = "anything";
    ignoredResponseParam.setValue(szField);
    EXPECT_FALSE(ignoredResponseParam.m_bValid);
    EXPECT_STREQ("anything", szField);
}
