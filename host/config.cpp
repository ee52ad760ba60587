// Configuration: an INI file read through inih, the host's own settings, and the lookups that
// the library calls (YBPlatformInfo, YBPI_Base).
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/FXString.h"
#include "host/HostSeams.h"
#include "host/YBPlatformInfo.h"
#include "host_internal.h"

namespace vbhost {

Config::~Config() = default;

namespace {

int iniHandler(void* user, const char* section, const char* name, const char* value) {
    static_cast<IniConfig*>(user)->set(section ? section : "", name ? name : "",
                                       value ? value : "");
    return 1;
}

struct ConfigState {
    std::mutex mutex;
    std::shared_ptr<const Config> config;  // null until first use or after reloadConfig()
    unsigned generation = 1;
    unsigned settingsGeneration = 0;
    HostSettings settings;
};

ConfigState& state() {
    static ConfigState* s = new ConfigState;  // never destroyed: used by late log calls
    return *s;
}

std::shared_ptr<const Config> loadLocked(ConfigState& s) {
    if (!s.config) {
        std::shared_ptr<IniConfig> loaded = IniConfig::fromFile(configPath());
        if (!loaded->problem().empty()) notePendingProblem(loaded->problem());
        s.config = loaded;
    }
    return s.config;
}

}  // namespace

bool parseLong(const std::string& text, long long* out) {
    std::string t = text;
    FXString::TrimWhiteSpace(t);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(t.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

std::shared_ptr<IniConfig> IniConfig::fromFile(const std::string& path) {
    auto config = std::make_shared<IniConfig>();
    FILE* file = fopen(path.c_str(), "re");
    if (!file) {
        if (errno != ENOENT) {
            config->problem_ =
                "cannot read configuration file " + path + ": " + std::string(strerror(errno));
        }
        return config;
    }
    int rc = ini_parse_file(file, iniHandler, config.get());
    fclose(file);
    if (rc > 0) {
        config->problem_ = "configuration file " + path + ": line " + std::to_string(rc) +
                           " is not a section header, a key = value line or a comment";
    }
    return config;
}

std::shared_ptr<IniConfig> IniConfig::fromString(const std::string& text) {
    auto config = std::make_shared<IniConfig>();
    int rc = ini_parse_string(text.c_str(), iniHandler, config.get());
    if (rc > 0) {
        config->problem_ = "configuration text: line " + std::to_string(rc) +
                           " is not a section header, a key = value line or a comment";
    }
    return config;
}

bool IniConfig::get(const std::string& section, const std::string& key, std::string* value) const {
    auto s = values_.find(section);
    if (s == values_.end()) return false;
    auto k = s->second.find(key);
    if (k == s->second.end()) return false;
    if (value) *value = k->second;
    return true;
}

void IniConfig::set(const std::string& section, const std::string& key, const std::string& value) {
    values_[section][key] = value;
}

std::string configPath() {
    const char* env = getenv("VOLBRIDGE_CONFIG");
    return env && *env ? env : "/etc/volbridge/volbridge.conf";
}

std::shared_ptr<const Config> currentConfig() {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return loadLocked(s);
}

void reloadConfig() {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.config.reset();
    ++s.generation;
}

ScopedConfig::ScopedConfig(std::shared_ptr<const Config> config) {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    previous_ = s.config;
    hadPrevious_ = static_cast<bool>(s.config);
    s.config = config ? std::move(config) : std::make_shared<IniConfig>();
    ++s.generation;
}

ScopedConfig::~ScopedConfig() {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.config = hadPrevious_ ? previous_ : nullptr;
    ++s.generation;
}

HostSettings hostSettings() {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.settingsGeneration == s.generation) return s.settings;

    std::shared_ptr<const Config> config = loadLocked(s);
    HostSettings settings;
    auto pick = [&](const char* key, const char* env, std::string* out) {
        const char* e = getenv(env);
        if (e && *e) {
            *out = e;
            return true;
        }
        return config->get("host", key, out);
    };
    std::string text;
    long long number = 0;
    if (pick("log_level", "VOLBRIDGE_LOG_LEVEL", &text) && parseLong(text, &number) &&
        number >= -1 && number <= INT_MAX) {
        settings.logLevel = static_cast<int>(number);
    }
    if (pick("log_file", "VOLBRIDGE_LOG_FILE", &text)) settings.logFile = text;
    if (pick("temp_dir", "VOLBRIDGE_TMPDIR", &text) && !text.empty()) settings.tempDir = text;
    if (pick("job_id", "VOLBRIDGE_JOB_ID", &text) && parseLong(text, &number)) {
        settings.jobId = number;
    }
    s.settings = settings;
    s.settingsGeneration = s.generation;
    return settings;
}

unsigned settingsGeneration() {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.generation;
}

}  // namespace vbhost

int YBPlatformInfo::getString(const char* section, const char* key, std::string* value) {
    if (!section || !key) return 0;
    std::string text;
    if (!vbhost::currentConfig()->get(section, key, &text)) return 0;
    if (value) *value = text;
    return 1;
}

int YBPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    std::string text;
    long long number = 0;
    if (!getString(section, key, &text)) return 0;
    if (!vbhost::parseLong(text, &number) || number < 0) {
        vbhost::logHostProblem("YBPlatformInfo::getNumber", std::string("configuration key [") +
                                                                section + "/" + key + "] holds \"" +
                                                                text + "\", not a number: ignored");
        return 0;
    }
    if (value) *value = static_cast<unsigned long>(number);
    return 1;
}

int YBPlatformInfo::getRegInt(const char* section, const char* key, int* value) {
    std::string text;
    long long number = 0;
    if (!getString(section, key, &text)) return 0;
    if (!vbhost::parseLong(text, &number) || number < INT_MIN || number > INT_MAX) {
        vbhost::logHostProblem("YBPlatformInfo::getRegInt",
                               std::string("configuration key [") + section + "/" + key +
                                   "] holds \"" + text + "\", not an integer: ignored");
        return 0;
    }
    if (value) *value = static_cast<int>(number);
    return 1;
}

namespace {

// The default temporary directory: private to the effective user, so that the predictable names
// of the files written there cannot be planted or read by other users. Null (after an error line)
// when it cannot be made or is not what it should be.
const char* privateTempDirectory(std::string* dir) {
    const uid_t me = geteuid();
    const std::string path = "/tmp/volbridge-" + std::to_string(me);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        vbhost::logHostProblem(
            "YBPI_Base::getPlumexTempDirectory",
            "cannot create the temporary directory " + path + ": " + strerror(errno));
        return nullptr;
    }
    struct stat st;
    std::string why;
    if (lstat(path.c_str(), &st) != 0) {
        why = std::string("it cannot be examined: ") + strerror(errno);
    } else if (!S_ISDIR(st.st_mode)) {
        why = "it is not a directory";
    } else if (st.st_uid != me) {
        why = "it belongs to uid " + std::to_string(st.st_uid);
    } else if ((st.st_mode & 07777) != 0700) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = std::string("its mode is ") + mode + ", not 0700";
    }
    if (!why.empty()) {
        vbhost::logHostProblem("YBPI_Base::getPlumexTempDirectory",
                               "refusing the temporary directory " + path + ": " + why +
                                   " (it must be a directory of uid " + std::to_string(me) +
                                   " with mode 0700; remove it, or set [host] temp_dir or "
                                   "VOLBRIDGE_TMPDIR)");
        return nullptr;
    }
    *dir = path;
    return dir->c_str();
}

}  // namespace

const char* YBPI_Base::getPlumexTempDirectory() {
    static thread_local std::string dir;
    std::string candidate = vbhost::hostSettings().tempDir;
    if (candidate.empty()) return privateTempDirectory(&dir);
    struct stat st;
    if (stat(candidate.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        access(candidate.c_str(), W_OK | X_OK) != 0) {
        return nullptr;
    }
    dir = candidate;
    return dir.c_str();
}

bool YBPI_Base::getPlumexTempDirectory(char* buffer) {
    const char* dir = getPlumexTempDirectory();
    if (!dir || !buffer || strlen(dir) >= 1024) return false;
    strcpy(buffer, dir);
    return true;
}
