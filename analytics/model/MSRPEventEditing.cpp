#include "analytics/model/MSRPEventEditing.h"

void MSRPicoLogger::log(const std::string& /*message*/) {}
