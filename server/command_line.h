// Reading of the server's command line.
#pragma once

#include <vector>

enum class CommandToken
{
    UnregServer,
    RegServer,
};

// The tail of an 8-bit command line: what follows the program name and the blanks after it.
// The name runs while bytes are above 0x20, or are any non-zero byte inside double quotes; a lead
// byte of a double-byte character takes the next byte along.
char *CommandTail(char *commandLine);

// Splits the tail in place at runs of '-' and '/' and returns the registration tokens in the order
// they stand; reading stops at "Embedding". Tokens are compared whole, ignoring ASCII case, so a
// token keeps the blanks before the next delimiter and then matches nothing.
std::vector<CommandToken> ReadCommandTokens(char *tail);
