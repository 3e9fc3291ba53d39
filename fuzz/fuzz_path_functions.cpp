#include "FuzzChecks.h"
#include "GeneralFunctions.h"

#include <string>

// Paths of other users' files, as search results and shared-file lists carry them.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const std::string l_path(reinterpret_cast<const char*>(ip_data), i_size);
    const std::string l_folder = GetFolder(l_path);
    Require(l_path.starts_with(l_folder), "the folder starts the path");
    Require(l_path.find(GetFileName(l_path)) != std::string::npos, "the file name is in the path");
    Require(l_path.starts_with(GetParentFolder(l_path)), "the parent folder starts the path");
    Require(GetFileExtension(l_path).size() <= l_path.size(), "the extension is in the path");
    Require(GetAbsoluteFileName(l_path).size() <= l_path.size(),
            "the absolute name is no longer than the path");
    Require(ReversePathname(l_path).size() <= l_path.size(),
            "the reversed path is no longer than the path");
    return 0;
}
