// What a disk-changing operation is about to do, decided by its check phase before anything
// changes, and carried out by Operation::act.
//
// A plan holds
//
//   subjects  every disk, group, volume, tag, file system, record and file the operation will
//             change or create, each with the evidence that made the check accept it:
//               disk /dev/sdf: the copy of captured disk datadg01 (udid EMC%5F...%5F0A1C), in no
//               group
//               group yb_datadg_1765432100: the name is free
//   steps     what each step does, in words an operator reads, and the code that does it.
//
// A step may change only what is a subject of its plan: a command that changes the host names what
// it changes through CommandLine::subject(), and the command is refused, before it runs, when one
// of those names is not a subject of the plan being carried out (see Operation.h).
//
// The check phase of every operation returns its plan and the operation's entry reads
//
//     Plan plan = checkClone(op, ...);   // reads the host under the import lock, changes nothing
//     if (!op.act(plan)) return {};      // false: the host asked only for the plan (--check)
//     return describe(op, plan);
//
// The data the steps and the result need (names chosen, devices resolved, the parsed metadata)
// lives in the plan itself (hold<T>()), so the plan can be returned by value and the steps still
// find it. A plan may hold the host's import lock from its first look at the host to its last
// change (holdLock()).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/Origin.h"

namespace volbridge {

class ImportLock;

// What kind of thing a subject of a plan is.
enum class SubjectKind {
    Disk,        // a block device or a volume manager's disk
    Group,       // a volume group, a disk group
    Volume,      // an LV or a VxVM volume, or its device-mapper device
    Tag,         // a tag set on disks
    FileSystem,  // a GPFS file system
    Node,        // a cluster node a file system is mounted on
    Record,      // a line of the library's journal, a note in its state directory
    File,        // a file the operation writes (a temporary file, a file handed to a tool)
};

// "disk", "group", "volume", "tag", "file system", "node", "record", "file".
const char* subjectKindName(SubjectKind kind);

struct Subject {
    SubjectKind kind;
    std::string name;
    std::string evidence;

    // "disk /dev/sdf: the copy of ..."
    std::string text() const;
};

class Plan {
  public:
    struct Step {
        std::string what;  // "restoring the group metadata onto /dev/sdx /dev/sdy"
        std::function<void()> run;
    };

    Plan();
    ~Plan();
    Plan(Plan&&) noexcept;
    Plan& operator=(Plan&&) noexcept;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;

    // Adds a subject. The same thing named twice keeps its first place, and the evidence of both.
    Plan& subject(SubjectKind kind, const std::string& name, const std::string& evidence);
    // Adds a step after those already there.
    Plan& step(std::string what, std::function<void()> run);

    const std::vector<Subject>& subjects() const { return subjects_; }
    const std::vector<Step>& steps() const { return steps_; }
    // The subject of that kind and name, or null.
    const Subject* find(SubjectKind kind, const std::string& name) const;

    // Takes the host's import lock (ImportLock) for the plan's lifetime; taken again, held on.
    void holdLock(const Origin& at);

    // The data of the operation, made once per plan (T's constructor gets `args`) and alive as
    // long as the plan; the reference stays valid when the plan is moved.
    template <class T, class... A>
    T& hold(A&&... args) {
        auto data = std::make_shared<T>(std::forward<A>(args)...);
        held_ = data;
        heldType_ = &typeid(T);
        return *data;
    }
    // The data made by hold<T>(); throws std::logic_error when the plan holds none of that type.
    template <class T>
    T& held() const {
        requireHeld(typeid(T));
        return *static_cast<T*>(held_.get());
    }

  private:
    void requireHeld(const std::type_info& type) const;

    std::vector<Subject> subjects_;
    std::vector<Step> steps_;
    std::shared_ptr<void> held_;
    const std::type_info* heldType_ = nullptr;
    std::unique_ptr<ImportLock> lock_;
};

}  // namespace volbridge
