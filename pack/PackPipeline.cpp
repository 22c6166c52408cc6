#include "pack/PackPipeline.h"

#include "engine/ZipCrc.h"
#include "pack/EntryDeflater.h"
#include "pack/PackProgress.h"
#include "writer/ZipAesEncryptor.h"
#include "writer/ZipWriter.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::size_t pieceSize = 1 << 20;     // also the largest file deflated whole
constexpr std::size_t bytesInFlight = 4 << 20; // a worker's share of the pieces read ahead
constexpr std::size_t slotCount = 4096;        // pieces read ahead at most, whatever their size

// A run of a file's bytes, compressed by one worker.
struct Piece {
    std::size_t item;
    std::uint64_t offset;
    std::size_t length;
    bool whole; // the file in one piece
    bool last;
};

struct Result {
    bool ready = false;
    std::string error;
    std::uint16_t method = CZipWriter::methodStored;
    std::uint32_t crc = 0;
    std::vector<unsigned char> data;
};

class FileReader {
  public:
    explicit FileReader(const std::string& path) : path(path), fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd < 0)
            Fail();
    }
    ~FileReader() { close(fd); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Exactly count bytes at offset; a file grown or shrunk since it was listed fails.
    void Read(unsigned char* into, std::size_t count, std::uint64_t offset, bool toEnd) {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = pread(fd, into + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                Fail();
            if (n == 0)
                Changed();
            done += static_cast<std::size_t>(n);
        }
        unsigned char more;
        if (toEnd && pread(fd, &more, 1, static_cast<off_t>(offset + count)) > 0)
            Changed();
    }

  private:
    [[noreturn]] void Fail() const { throw std::runtime_error(path + ": " + std::strerror(errno)); }
    [[noreturn]] void Changed() const { throw std::runtime_error(path + ": the file changed while being packed"); }

    std::string path;
    int fd;
};

class Pipeline {
  public:
    Pipeline(const std::vector<PackItem>& items, const PackSettings& settings, CZipWriter& writer,
             CPackProgress& progress)
        : items(items), settings(settings), writer(writer), progress(progress), slots(slotCount) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].kind != PackItem::File)
                continue;
            const std::uint64_t size = items[i].size;
            if (size <= pieceSize) {
                pieces.push_back({i, 0, static_cast<std::size_t>(size), true, true});
                continue;
            }
            for (std::uint64_t at = 0; at < size; at += pieceSize)
                pieces.push_back({i, at, static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, size - at)), false,
                                  at + pieceSize >= size});
        }
        budget = bytesInFlight * settings.workers;
    }

    ~Pipeline() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        for (std::thread& t : threads)
            t.join();
    }

    void Run() {
        for (unsigned i = 0; i < settings.workers; ++i)
            threads.emplace_back([this] { Work(); });
        std::size_t next = 0;
        for (const PackItem& item : items) {
            ZipWriterEntry entry{item.name, item.mode, item.mtime, 0, false};
            if (item.kind == PackItem::Folder) {
                writer.AddEntry(entry, CZipWriter::methodStored, 0, nullptr, 0);
            } else if (item.kind == PackItem::Link) {
                // Unencrypted, as the names are: a target is a name.
                entry.size = item.target.size();
                const auto* bytes = reinterpret_cast<const unsigned char*>(item.target.data());
                writer.AddEntry(entry, CZipWriter::methodStored, ZipCrc::Update(0, bytes, item.target.size()), bytes,
                                item.target.size());
            } else {
                entry.size = item.size;
                entry.encrypted = settings.encrypt;
                next = WriteFile(entry, item, next);
            }
            progress.Advance(0, 1);
        }
    }

  private:
    std::size_t WriteFile(const ZipWriterEntry& entry, const PackItem& item, std::size_t next) {
        if (pieces[next].whole) {
            Result r = Take(next);
            writer.AddEntry(entry, r.method, r.crc, r.data.data(), r.data.size());
            progress.Advance(item.size, 0);
            return next + 1;
        }
        if (entry.encrypted && !encryptor)
            encryptor = std::make_unique<CZipAesEncryptor>(settings.password);
        writer.BeginEntry(entry);
        StartEncryption();
        std::uint32_t crc = 0;
        std::uint64_t written = 0;
        std::uint16_t method = CZipWriter::methodStored;
        for (;; ++next) {
            Result r = Take(next);
            method = r.method;
            crc = static_cast<std::uint32_t>(crc32_combine(crc, r.crc, static_cast<z_off_t>(pieces[next].length)));
            written += r.data.size();
            Append(r.data);
            progress.Advance(pieces[next].length, 0);
            if (pieces[next].last)
                break;
        }
        if (method != CZipWriter::methodStored && written >= item.size) {
            // Deflate did not pay: the file again, stored.
            writer.RestartData();
            StartEncryption();
            FileReader reader(item.path);
            std::vector<unsigned char> buffer;
            std::uint32_t again = 0;
            for (std::uint64_t at = 0; at < item.size; at += pieceSize) {
                buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, item.size - at)));
                reader.Read(buffer.data(), buffer.size(), at, at + buffer.size() == item.size);
                again = ZipCrc::Update(again, buffer.data(), buffer.size());
                Append(buffer);
            }
            if (again != crc)
                throw std::runtime_error(item.path + ": the file changed while being packed");
            method = CZipWriter::methodStored;
        }
        if (encryptor && entry.encrypted) {
            unsigned char code[CZipAesEncryptor::codeSize];
            encryptor->Finish(code);
            writer.AppendData(code, sizeof code);
        }
        writer.EndEntry(method, crc);
        return next + 1;
    }

    void StartEncryption() {
        if (!settings.encrypt)
            return;
        unsigned char header[CZipAesEncryptor::headerSize];
        encryptor->Start(header);
        writer.AppendData(header, sizeof header);
    }

    void Append(std::vector<unsigned char>& data) {
        if (settings.encrypt)
            encryptor->Encrypt(data.data(), data.size());
        writer.AppendData(data.data(), data.size());
    }

    // The result of piece i, once its worker is done; frees its slot.
    Result Take(std::size_t i) {
        std::unique_lock<std::mutex> lock(mutex);
        Result& slot = slots[i % slotCount];
        changed.wait(lock, [&] { return slot.ready; });
        Result r = std::move(slot);
        slot = Result{};
        ++consumed;
        inFlight -= pieces[i].length;
        lock.unlock();
        changed.notify_all();
        if (!r.error.empty())
            throw std::runtime_error(r.error);
        return r;
    }

    void Work() {
        CEntryDeflater deflater(std::max(settings.level, 1));
        std::unique_ptr<CZipAesEncryptor> cipher;
        if (settings.encrypt)
            cipher = std::make_unique<CZipAesEncryptor>(settings.password);
        std::vector<unsigned char> input;
        for (;;) {
            std::size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] {
                    return stop || (claimed < pieces.size() && claimed - consumed < slotCount &&
                                    (inFlight < budget || claimed == consumed));
                });
                if (stop)
                    return;
                i = claimed++;
                inFlight += pieces[i].length;
            }
            Result r;
            try {
                Compress(pieces[i], deflater, cipher.get(), input, r);
            } catch (const std::exception& e) {
                r.error = e.what();
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                r.ready = true;
                slots[i % slotCount] = std::move(r);
            }
            changed.notify_all();
        }
    }

    void Compress(const Piece& piece, CEntryDeflater& deflater, CZipAesEncryptor* cipher,
                  std::vector<unsigned char>& input, Result& r) const {
        const PackItem& item = items[piece.item];
        const std::size_t primer =
            settings.level > 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(piece.offset, CEntryDeflater::window))
                               : 0;
        input.resize(primer + piece.length);
        if (piece.length > 0) {
            FileReader reader(item.path);
            reader.Read(input.data(), input.size(), piece.offset - primer, piece.last);
        } else {
            FileReader check(item.path);
            check.Read(input.data(), 0, 0, true);
        }
        r.crc = ZipCrc::Update(0, input.data() + primer, piece.length);
        if (settings.level == 0) {
            r.data.assign(input.begin(), input.end());
        } else if (!piece.whole) {
            r.method = CZipWriter::methodDeflated;
            deflater.DeflatePiece(input.data(), primer, input.size(), piece.last, r.data);
        } else if (deflater.DeflateWhole(input.data(), input.size(), r.data)) {
            r.method = CZipWriter::methodDeflated;
        } else {
            r.data.assign(input.begin(), input.end());
        }
        if (piece.whole && cipher) {
            std::vector<unsigned char> sealed(CZipAesEncryptor::headerSize + r.data.size() +
                                              CZipAesEncryptor::codeSize);
            cipher->Start(sealed.data());
            std::copy(r.data.begin(), r.data.end(), sealed.begin() + CZipAesEncryptor::headerSize);
            cipher->Encrypt(sealed.data() + CZipAesEncryptor::headerSize, r.data.size());
            cipher->Finish(sealed.data() + CZipAesEncryptor::headerSize + r.data.size());
            r.data = std::move(sealed);
        }
    }

    const std::vector<PackItem>& items;
    const PackSettings& settings;
    CZipWriter& writer;
    CPackProgress& progress;
    std::vector<Piece> pieces;
    std::vector<Result> slots;
    std::unique_ptr<CZipAesEncryptor> encryptor; // this thread's, for files written in pieces

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t claimed = 0;
    std::size_t consumed = 0;
    std::size_t inFlight = 0;
    std::size_t budget = 0;
    bool stop = false;
    std::vector<std::thread> threads;
};

} // namespace

void PackItems(const std::vector<PackItem>& items, const PackSettings& settings, CZipWriter& writer,
               CPackProgress& progress) {
    Pipeline pipeline(items, settings, writer, progress);
    pipeline.Run();
}
