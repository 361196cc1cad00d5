#include "stream/file_search.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessarin {

FileSearch::FileSearch(const SearchSettings& settings, std::string label, bool walked, StreamBuffer& buffer)
    : settings_(settings), walked_(walked), buffer_(buffer), decoder_(settings.text_mode),
      printer_(settings.print, std::move(label))
{
    buffer_.clear();
    // All the patterns in one search: one pass over each segment serves them.
    if (!settings.queries.empty()) search_.emplace(settings.queries, settings.segment_bytes);
}

void FileSearch::push(std::string_view raw, bool at_end, bool waiting, Cancellation& cancel, std::string& out)
{
    if (done()) return;
    decoder_.push(raw, at_end, waiting, buffer_);
    advance(at_end, waiting, cancel, out);
}

std::size_t FileSearch::read(BlockReader& reader, std::size_t block, Cancellation& cancel, std::string& out)
{
    if (done()) return 0;
    // In a walk, binary files are skipped: their first bytes tell, so only
    // those are read first.
    const bool probe_first = walked_ && !settings_.text_mode && !settings_.binary_mode;
    const std::size_t wanted =
        first_read_ ? (probe_first ? InputDecoder::first_bytes : std::max(block, InputDecoder::first_bytes)) : block;
    first_read_ = false;
    std::size_t got;
    bool waiting;
    if (decoder_.reads_in_place()) {
        char* tail = buffer_.tail(wanted);
        got = reader.read(tail, wanted);
        buffer_.commit(got);
        decoder_.pushed_in_place(std::string_view(tail, got));
        waiting = reader.would_wait();
    } else {
        raw_.resize(wanted);
        got = reader.read(raw_.data(), wanted);
        waiting = reader.would_wait();
        decoder_.push(std::string_view(raw_.data(), got), reader.at_end(), waiting, buffer_);
    }
    advance(reader.at_end(), waiting, cancel, out);
    return got;
}

void FileSearch::advance(bool at_end, bool waiting, Cancellation& cancel, std::string& out)
{
    if (!decoder_.decided()) return;
    if (decoder_.binary_at_start() && walked_ && !settings_.binary_mode) {
        // Skipped, as if empty: a count still says 0.
        skipped_ = true;
        printer_.finish(HeldBytes{}, out);
        return;
    }
    if (decoder_.binary()) printer_.stop_printing_lines();
    const HeldBytes text = buffer_.held();
    std::uint64_t settled = static_cast<std::uint64_t>(-1);
    if (search_) {
        StreamSearch& search = *search_;
        if (at_end)
            search.finish(text, cancel);
        else if (waiting)
            search.search_ready(text, cancel);
        else
            search.search(text, cancel);
        for (const StreamMatch& match : search.take())
            printer_.add(match, text);
        settled = std::min(settled, search.settled());
    }
    if (at_end) {
        printer_.finish(text, out);
        finished_ = true;
        return;
    }
    printer_.print(text, settled, waiting, out);
    if (printer_.done()) {
        // The rest of the file would change nothing: the name or the count
        // is printed now.
        printer_.finish(text, out);
        finished_ = true;
        return;
    }
    std::uint64_t needed = printer_.needed_from(text, settled);
    if (search_) needed = std::min(needed, search_->needed_from());
    buffer_.release_before(needed);
}

FileStepper::FileStepper(const SearchSettings& settings, std::string label, bool walked, std::size_t block, int fd)
    : search_(settings, std::move(label), walked, buffer_), block_(std::max<std::size_t>(block, 1))
{
    struct stat info;
    if (fd >= 0) reader_.emplace(fd, ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode));
}

void FileStepper::step(std::string_view given, Cancellation& cancel, std::string& out)
{
    if (reader_) {
        bytes_read_ += search_.read(*reader_, block_, cancel, out);
    } else {
        bytes_read_ += given.size();
        search_.push(given, given.empty(), false, cancel, out);
    }
}

WholeFile search_whole_file(const char* path, const SearchSettings& settings, std::string label, bool walked,
                            std::uint64_t limit, StreamBuffer& buffer, Cancellation& cancel, std::string& out)
{
    WholeFile result;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.outcome = WholeFile::Outcome::failed;
        result.error = errno;
        return result;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        result.outcome = WholeFile::Outcome::failed;
        result.error = errno;
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        result.outcome = WholeFile::Outcome::failed;
        result.error = EISDIR;
        return result;
    }
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) >= limit) {
        result.outcome = WholeFile::Outcome::too_large;
        return result;
    }
    try {
        FileSearch search(settings, std::move(label), walked, buffer);
        BlockReader reader(fd, true);
        // One read for the whole file (after the first bytes, in a walk),
        // as far as its size tells.
        const std::size_t block = static_cast<std::size_t>(info.st_size) + 1;
        while (!search.done())
            result.bytes_read += search.read(reader, block, cancel, out);
        result.matched = search.matched();
    } catch (const std::system_error& failure) {
        result.outcome = WholeFile::Outcome::failed;
        result.error = failure.code().value();
    }
    return result;
}

std::vector<FileReport> search_whole_files(const SearchSettings& settings, std::vector<FileToSearch>& files,
                                           std::uint64_t limit, std::size_t output_limit, StreamBuffer& buffer,
                                           Cancellation& cancel, std::size_t& searched, std::uint64_t& bytes_read)
{
    std::vector<FileReport> reports;
    bytes_read = 0;
    std::size_t waiting = 0;
    for (searched = 0; searched < files.size();) {
        FileToSearch& file = files[searched++];
        cancel.poll(std::uint64_t{1} << 40); // more than any budget: a look between files, however small
        FileReport report{searched - 1, WholeFile(), std::string()};
        report.file = search_whole_file(file.path.c_str(), settings, std::move(file.label), file.walked, limit, buffer,
                                        cancel, report.output);
        bytes_read += report.file.bytes_read;
        if (report.output.empty() && !report.file.matched && report.file.outcome == WholeFile::Outcome::searched)
            continue;
        waiting += report.output.size();
        const bool stop = waiting > output_limit || (report.file.matched && settings.print.mode == OutputMode::quiet);
        reports.push_back(std::move(report));
        if (stop) break;
    }
    return reports;
}

} // namespace tessarin
