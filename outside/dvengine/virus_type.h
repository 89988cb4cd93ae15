// Virus type codes from libclamav detection names: adware 5 (spyware 6), riskware 7 (other
// potentially unwanted programs 8), hacking tools 9, everything else a virus (1).
#pragma once

#include <string>

namespace qxfw::dvengine {

int VirusTypeOf(const std::string& detectionName);

}  // namespace qxfw::dvengine
