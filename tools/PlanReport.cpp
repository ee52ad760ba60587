#include "PlanReport.h"

namespace vbtool {

void PlanReport::planned(const std::string& operation,
                         const std::vector<vbhost::PlannedSubject>& subjects,
                         const std::vector<std::string>& steps) {
    planned_ = true;
    operation_ = operation;
    subjects_ = subjects;
    steps_ = steps;
}

void PlanReport::refused(const std::string& operation, const std::string& why) {
    operation_ = operation;
    refusal_ = why;
}

void PlanReport::print(std::ostream& out) const {
    out << "Plan of " << operation_ << " (checked; nothing was changed)\n";
    if (steps_.empty()) {
        out << "\nNothing to change.\n";
        return;
    }
    out << "\nIt changes:\n";
    for (const vbhost::PlannedSubject& s : subjects_) {
        out << "  " << s.kind << " " << s.name;
        if (!s.evidence.empty()) out << ": " << s.evidence;
        out << "\n";
    }
    out << "\nSteps:\n";
    size_t n = 0;
    for (const std::string& step : steps_) out << "  " << ++n << ". " << step << "\n";
}

nlohmann::json PlanReport::toJson(const std::string& refusal) const {
    nlohmann::json plan = {{"operation", operation_}, {"goes_ahead", planned_}};
    if (!planned_) {
        plan["refusal"] = refusal;
        return plan;
    }
    plan["subjects"] = nlohmann::json::array();
    for (const vbhost::PlannedSubject& s : subjects_) {
        plan["subjects"].push_back({{"kind", s.kind}, {"name", s.name}, {"evidence", s.evidence}});
    }
    plan["steps"] = steps_;
    return plan;
}

}  // namespace vbtool
