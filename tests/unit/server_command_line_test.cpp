// Reading the command line: where the tail starts, and which registration tokens it holds.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TailCase
{
    const char *name;
    const char *line;
    size_t tailOffset; // where the tail starts in line
};

const TailCase TAIL_CASES[] = {
    {"plain name", "server.exe -RegServer", 11},
    {"blanks and tabs after the name", "server.exe \t  /Embedding", 14},
    {"control bytes end the name and are skipped", "server.exe\x01\x1f-x", 12},
    {"quoted name with a blank", "\"C:\\Program Files\\server.exe\" /RegServer", 30},
    {"quotes inside the name", "C:\\\"Program Files\"\\server.exe -x", 30},
    {"text after the closing quote belongs to the name", "\"a b\"c d", 7},
    {"unclosed quote takes the whole line", "\"C:\\Program Files\\server.exe -x", 31},
    {"quoted tail keeps its quotes", "server.exe \"-Reg Server\"", 11},
    {"name only", "server.exe", 10},
    {"quoted name only", "\"C:\\Program Files\\server.exe\"", 29},
    {"trailing blanks only", "server.exe   ", 13},
    {"empty line", "", 0},
};

TEST(CommandTail, SkipsProgramNameAndBlanks)
{
    for (const TailCase &row : TAIL_CASES) {
        SCOPED_TRACE(row.name);
        std::string line(row.line);
        char *tail = CommandTail(&line[0]);
        EXPECT_EQ(row.tailOffset, static_cast<size_t>(tail - line.data()));
    }
}

using Tokens = std::vector<CommandToken>;
constexpr CommandToken REG = CommandToken::RegServer;
constexpr CommandToken UNREG = CommandToken::UnregServer;

struct TokenCase
{
    const char *tail;
    Tokens expected; // empty: the server serves
};

const TokenCase TOKEN_CASES[] = {
    {"", {}},
    {"   ", {}},
    {"-/--//", {}},
    {"-RegServer ", {}},
    {"-Embedding", {}},
    {"/Embedding", {}},
    {"/RegServer", {REG}},
    {"-rEgSeRvEr", {REG}},
    {"/REGSERVER", {REG}},
    {"RegServer", {REG}},
    {"--RegServer//", {REG}},
    {"-UnregServer", {UNREG}},
    {"-RegServer -Embedding", {}},
    {"-Embedding -RegServer", {REG}},
    {"-RegServer/UnregServer", {REG, UNREG}},
    {"/UnregServer-RegServer", {UNREG, REG}},
    {"-RegServer-RegServer", {REG, REG}},
    {"-Embedding/RegServer", {}},
    {"-RegServer/Embedding/UnregServer", {REG}},
    {"-Reg Server", {}},
    {" -RegServer", {REG}},
    {"-Automation/RegServer", {REG}},
    {"-RegServerX/xRegServer", {}},
};

TEST(ReadCommandTokens, FollowsTheDelimiterRules)
{
    for (const TokenCase &row : TOKEN_CASES) {
        SCOPED_TRACE(std::string("tail \"") + row.tail + "\"");
        std::string tail(row.tail);
        EXPECT_EQ(row.expected, ReadCommandTokens(&tail[0]));
    }
}

TEST(ReadCommandTokens, ReadsTheTailThatCommandTailFinds)
{
    std::string line("\"C:\\Program Files\\bridge.exe\"  /RegServer");
    EXPECT_EQ(Tokens{REG}, ReadCommandTokens(CommandTail(&line[0])));
}

} // namespace
