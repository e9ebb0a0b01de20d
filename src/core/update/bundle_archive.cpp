#include "core/update/bundle_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/update/update_error.h"

namespace trayline {

namespace fs = std::filesystem;

namespace {

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
using ReadArchive = std::unique_ptr<archive, ReadFree>;
using WriteDisk = std::unique_ptr<archive, WriteFree>;

[[noreturn]] void fail(const std::string& reason) {
    throw UpdateError::badDownload("could not unzip (" + reason + ")");
}

[[noreturn]] void failWith(archive* a, const char* fallback) {
    const char* text = archive_error_string(a);
    fail(text && *text ? text : fallback);
}

// True when the relative path, read from `base`, stays inside the destination.
bool staysInside(const fs::path& base, std::string_view relative) {
    if (relative.empty() || relative.front() == '/')
        return false;
    const fs::path normal = (base / fs::path(relative)).lexically_normal();
    return normal.empty() || *normal.begin() != "..";
}

bool hasDotDot(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..")
            return true;
        start = end + 1;
    }
    return false;
}

void copyData(archive* in, archive* out) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        const int r = archive_read_data_block(in, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            return;
        if (r < ARCHIVE_WARN)
            failWith(in, "unreadable entry data");
        if (archive_write_data_block(out, block, size, offset) < ARCHIVE_WARN)
            failWith(out, "cannot write entry data");
    }
}

}  // namespace

void unpackArchive(const fs::path& archivePath, const fs::path& destination) {
    // Entries are extracted under the destination's real path so that the symlink guard below
    // has no symlinked parent (such as a temp dir reached through a link) to trip over.
    const fs::path root = fs::canonical(destination);

    ReadArchive in(archive_read_new());
    WriteDisk out(archive_write_disk_new());
    if (!in || !out)
        fail("out of memory");
    archive_read_support_format_zip(in.get());
    if (archive_read_open_filename(in.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK)
        failWith(in.get(), "cannot open the archive");
    // The paths handed to libarchive are absolute on purpose (joined to `root`), so the
    // no-absolute-paths rule is applied to each entry's own name before joining.
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_PERM);

    for (;;) {
        archive_entry* entry = nullptr;
        const int r = archive_read_next_header(in.get(), &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN)
            failWith(in.get(), "unreadable archive");
        const char* rawName = archive_entry_pathname(entry);
        if (!rawName)
            fail("entry without a usable name");
        const std::string name = rawName;
        if (!name.empty() && name.front() == '/')
            fail("Path is absolute: " + name);
        if (hasDotDot(name))
            fail("Path contains '..': " + name);
        if (const char* target = archive_entry_symlink(entry);
            target && !staysInside(fs::path(name).parent_path(), target))
            fail("Symlink points outside the archive: " + name + " -> " + target);
        if (const char* target = archive_entry_hardlink(entry)) {
            if (!staysInside({}, target) || hasDotDot(target))
                fail("Hard link points outside the archive: " + name + " -> " + target);
            archive_entry_set_hardlink(entry, (root / target).c_str());
        }
        archive_entry_set_pathname(entry, (root / name).c_str());
        // The modes are ours, not the archive's: the seal covers contents only, so an archive
        // could otherwise install world-writable or set-id files that keep their signature.
        const bool searchable = archive_entry_filetype(entry) == AE_IFDIR || (archive_entry_perm(entry) & 0111) != 0;
        archive_entry_set_perm(entry, searchable ? 0755 : 0644);

        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN)
            failWith(out.get(), "cannot extract entry");
        if (archive_entry_size(entry) > 0)
            copyData(in.get(), out.get());
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN)
            failWith(out.get(), "cannot finish entry");
    }
    if (archive_write_close(out.get()) < ARCHIVE_WARN)
        failWith(out.get(), "cannot finish extraction");
}

std::optional<fs::path> findAppBundle(const fs::path& directory) {
    std::vector<fs::path> bundles;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().extension() == ".app" && entry.symlink_status().type() == fs::file_type::directory)
            bundles.push_back(entry.path());
    if (bundles.empty())
        return std::nullopt;
    return *std::min_element(bundles.begin(), bundles.end());
}

}  // namespace trayline
