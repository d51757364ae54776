#include <ostream>

#include "cli/InfoProviders.h"
#include "record/RecordReader.h"

namespace al::cli {

void printRecordInfo(const std::filesystem::path& path, std::ostream& out) {
    file::RecordReader reader(path);
    const auto& h = reader.header();
    out << "source peak: " << h.sourcePeak << '\n'
        << "version: " << unsigned{h.version} << '.' << unsigned{h.revision} << '\n'
        << "size: " << reader.imageSize() << " bytes\n";
}

}  // namespace al::cli
