#include "core/Plan.h"

#include <stdexcept>

#include "core/ImportLock.h"

namespace volbridge {

const char* subjectKindName(SubjectKind kind) {
    switch (kind) {
        case SubjectKind::Disk:
            return "disk";
        case SubjectKind::Group:
            return "group";
        case SubjectKind::Volume:
            return "volume";
        case SubjectKind::Tag:
            return "tag";
        case SubjectKind::FileSystem:
            return "file system";
        case SubjectKind::Node:
            return "node";
        case SubjectKind::Record:
            return "record";
        case SubjectKind::File:
            return "file";
    }
    return "?";
}

std::string Subject::text() const {
    return std::string(subjectKindName(kind)) + " " + name + (evidence.empty() ? "" : ": ") +
           evidence;
}

Plan::Plan() = default;
Plan::~Plan() = default;
Plan::Plan(Plan&&) noexcept = default;
Plan& Plan::operator=(Plan&&) noexcept = default;

Plan& Plan::subject(SubjectKind kind, const std::string& name, const std::string& evidence) {
    for (Subject& known : subjects_) {
        if (known.kind != kind || known.name != name) continue;
        if (!evidence.empty() && known.evidence.find(evidence) == std::string::npos) {
            known.evidence += (known.evidence.empty() ? "" : "; ") + evidence;
        }
        return *this;
    }
    subjects_.push_back(Subject{kind, name, evidence});
    return *this;
}

Plan& Plan::step(std::string what, std::function<void()> run) {
    steps_.push_back(Step{std::move(what), std::move(run)});
    return *this;
}

const Subject* Plan::find(SubjectKind kind, const std::string& name) const {
    for (const Subject& known : subjects_) {
        if (known.kind == kind && known.name == name) return &known;
    }
    return nullptr;
}

void Plan::holdLock(const Origin& at) {
    if (!lock_) lock_ = std::make_unique<ImportLock>(at);
}

void Plan::requireHeld(const std::type_info& type) const {
    if (!heldType_ || *heldType_ != type) {
        throw std::logic_error(std::string("the plan holds no data of type ") + type.name());
    }
}

}  // namespace volbridge
