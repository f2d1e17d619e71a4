#pragma once

#include "protocol/result.h"
#include "suite/verdict.h"

#include <string>

// The verdicts of one run of a judging command with their JUnit XML, written through Qt's XML writer.
class VerdictReport final : public veltrano::VerdictTally
{
public:
    using VerdictTally::VerdictTally;

    // <testsuite name tests failures skipped time> with a <testcase> per verdict, through a QSaveFile: the
    // file appears only when complete. The reason when it cannot be written.
    veltrano::Status WriteJunit(const std::string& path) const;
    // The XML itself, for WriteJunit and the tests.
    std::string Junit() const;
};
