#pragma once
// The method names programs may call on arrays and on strings, read off the
// evaluators' own tables, for whatever must reach every one of them (the
// cost fuzzer's grammar).

#include <string_view>
#include <vector>

std::vector<std::string_view> MSRPArrayMethodNames();
std::vector<std::string_view> MSRPStringMethodNames();
