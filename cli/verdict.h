#pragma once

#include "protocol/result.h"
#include "suite/verdict.h"

#include <string>
#include <vector>

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

// `verdicts` as the JUnit XML of the suite `suite`, written to `path` as WriteJunit writes it.
veltrano::Status WriteJunit(const std::string& path, std::string suite,
                            std::vector<veltrano::Verdict> verdicts);
