// What "--check" shows: the plan a disk-changing operation would carry out, as the library handed
// it to the host's plan sink (vbhost::PlanSink), or why the operation would refuse.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/HostSeams.h"

namespace vbtool {

class PlanReport : public vbhost::PlanSink {
  public:
    void planned(const std::string& operation, const std::vector<vbhost::PlannedSubject>& subjects,
                 const std::vector<std::string>& steps) override;
    void refused(const std::string& operation, const std::string& why) override;

    // Whether an operation handed its plan: the real run would go ahead.
    bool goesAhead() const { return planned_; }
    // The refusal an operation that returns false handed over; empty when none did.
    const std::string& refusal() const { return refusal_; }

    // The plan, for people:
    //   Plan of LVM_linux_lvm::recreateVG (checked; nothing was changed)
    //
    //   It changes:
    //     disk /dev/sdx: the copy of captured PV pv0 (...), in no group
    //     group vg_copy_001: the name is free
    //
    //   Steps:
    //     1. re-initialising /dev/sdx as a PV
    //     ...
    void print(std::ostream& out) const;
    // {"operation", "goes_ahead", "subjects": [{"kind", "name", "evidence"}], "steps": [...]},
    // or, for a refusal, {"operation", "goes_ahead": false, "refusal"}.
    nlohmann::json toJson(const std::string& refusal) const;

  private:
    bool planned_ = false;
    std::string operation_;
    std::vector<vbhost::PlannedSubject> subjects_;
    std::vector<std::string> steps_;
    std::string refusal_;
};

}  // namespace vbtool
