#include "Calvaro/engine/NaturalConstant.h"

#include <utility>

NaturalConstant::NaturalConstant(std::string key, std::string latex, double value)
    : key_(std::move(key)), latex_(std::move(latex)), value_(value) {}
