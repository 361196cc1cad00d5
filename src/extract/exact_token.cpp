#include "extract/extract.hpp"

namespace tessarin {

MatchList exact_token_extract(std::string, std::string, std::string, bool, bool)
{
    throw std::logic_error("exact token extraction is not built yet");
}

} // namespace tessarin
