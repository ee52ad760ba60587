// The reader of the export error that names a tiebreaker disk.
#pragma once

#include <string>
#include <string_view>

namespace volbridge {
namespace gpfs {

// The tiebreaker disk that an "mmexportfs" error names ("... Disk nsd3 is a tiebreaker disk
// ..."): the text from 5 characters after the first "Disk" up to the first " is" behind it.
// Empty when the text does not mention "tiebreaker" or holds no such name.
std::string tiebreakerDisk(std::string_view errorText);

}  // namespace gpfs
}  // namespace volbridge
