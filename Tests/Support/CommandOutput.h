#pragma once
// What a shell command prints on its standard output.

#include <cstdio>
#include <string>

inline std::string commandOutput(const std::string& command)
{
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
            text.append(chunk, n);
        pclose(pipe);
    }
    return text;
}
