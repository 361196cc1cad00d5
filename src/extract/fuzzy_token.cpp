#include "extract/extract.hpp"

namespace tessarin {

MatchList fuzzy_token_extract(std::string, std::string, std::string, bool, bool, const std::string&, double,
                              std::uint8_t, const std::vector<std::string>&)
{
    throw std::logic_error("fuzzy token extraction is not built yet");
}

} // namespace tessarin
