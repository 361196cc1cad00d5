#include "extract/extract.hpp"

namespace tessarin {

MatchList fuzzy_raw_extract(std::string, std::string, bool, bool, const std::string&, double, std::uint8_t,
                            const std::vector<std::string>&)
{
    throw std::logic_error("fuzzy raw extraction is not built yet");
}

} // namespace tessarin
