// A file's data read out whole for extraction: each of its chains walked
// once, with the steps di_read takes and the stops of a bounded walk.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// The record's tables live beside it, as the listing's do.
struct FileDataStorage : DiFileData {
  std::vector<unsigned char> bytes;
  std::vector<TsPair> lost_list;
  std::vector<DiRecord> record_list;
};

class Reader {
 public:
  Reader(DiImage *image, const KindInfo &kind, long limit, FileDataStorage &out)
      : image_(image), kind_(kind), limit_(limit), out_(out) {}

  void read(const FileEntry &slot) {
    const TsPair first = slot.first_ts;
    out_.shape = shape_of(slot);
    if (out_.shape == DI_DATA_REL) out_.record_length = slot_byte(slot, kSlotRecordLength);
    if (!kind_.valid(first)) {
      // As opening it would say; there is no block to name.
      stopped(DI_STATUS_ILLEGAL_TS, first, make_ts(0, 0));
      return;
    }
    // Enough for an ordinary file at once; a longer one grows as it reads.
    out_.bytes.reserve(static_cast<size_t>(std::clamp(
        static_cast<long>(slot_blocks(slot)) * kDataSize, 0L, std::min(limit_, 1L << 20))));
    switch (out_.shape) {
      case DI_DATA_VLIR:
        read_records(first);
        break;
      case DI_DATA_PARTITION:
        read_partition(first, slot_blocks(slot));
        break;
      default:
        read_chain(first);
    }
    if (out_.shape == DI_DATA_GEOS || out_.shape == DI_DATA_VLIR) read_info(slot_extra_ts(slot));
  }

 private:
  static int shape_of(const FileEntry &slot) {
    if (slot_is_vlir(slot)) return DI_DATA_VLIR;
    if (slot_is_geos(slot)) return DI_DATA_GEOS;
    switch (slot.type & DI_TYPE_MASK) {
      case DI_FT_REL:
        return DI_DATA_REL;
      case DI_FT_CBM:
        return DI_DATA_PARTITION;
      default:
        return DI_DATA_CHAIN;
    }
  }

  int error_of(TsPair ts) const { return block_error_code(image_, kind_.block_num(ts)); }
  unsigned char *block(TsPair ts) const { return block_at(image_, kind_, ts); }

  // The first stop decides the status; every stop makes the data incomplete.
  void stopped(int code, TsPair status_ts, TsPair at) {
    out_.complete = 0;
    if (out_.status.code != 0 || out_.cut) return;
    out_.status = {code, status_ts};
    out_.stop = at;
  }
  void lost(TsPair ts) { out_.lost_list.push_back(ts); }
  // Once the limit has cut one read, every later read is left out, its first
  // block lost.
  bool left_out(TsPair first) {
    if (!out_.cut) return false;
    if (kind_.valid(first)) lost(first);
    return true;
  }
  // Takes n bytes of the block at ts if the limit leaves room for them.
  bool take(TsPair ts, const unsigned char *bytes, int n) {
    if (static_cast<long>(out_.bytes.size()) + n > limit_) {
      out_.cut = 1;
      out_.complete = 0;
      lost(ts);
      return false;
    }
    out_.bytes.insert(out_.bytes.end(), bytes, bytes + n);
    ++out_.blocks_read;
    return true;
  }

  // One chain from a valid first block, stopping where di_read would go on
  // round a loop or deliver nothing more.
  void read_chain(TsPair first) {
    if (left_out(first)) return;
    const ChainEnd end = walk_chain(
        image_, first,
        [&](TsPair ts, unsigned char *at) {
          const DiStatus stop = read_stop(image_, kind_, ts);
          if (stop.code != 0) {
            stopped(stop.code, stop.ts, ts);
            lost(ts);
            return false;
          }
          const TsPair link = stored_link(at);
          return take(ts, at + kDataStart, link.track == 0 ? link.sector - 1 : kDataSize);
        },
        ReadOn{&kind_});
    // The block met again was read the first time; nothing of it is lost.
    if (end.stop == ChainStop::kLoop) stopped(DI_STATUS_FILE_TOO_LARGE, end.link, end.link);
  }

  // The record list's pairs in order up to 0/0; track 0 is an empty record.
  void read_records(TsPair list_ts) {
    const int err = error_of(list_ts);
    if (err != 0) {
      stopped(err, list_ts, list_ts);
      lost(list_ts);
      return;
    }
    const unsigned char *list = block(list_ts) + kDataStart;
    for (int r = 0; r < kRecordPairs; ++r) {
      const TsPair start = make_ts(list[2 * r], list[2 * r + 1]);
      if (start.track == 0 && start.sector == 0) break;
      const long offset = static_cast<long>(out_.bytes.size());
      if (start.track != 0 && !kind_.valid(start)) {
        stopped(DI_STATUS_ILLEGAL_TS, start, list_ts);
      } else if (start.track != 0) {
        read_chain(start);
      }
      out_.record_list.push_back({offset, static_cast<long>(out_.bytes.size()) - offset});
    }
  }

  // The slot's count of blocks in block order, as they lie: a damaged block
  // is read all the same, so that every later block keeps its offset.
  void read_partition(TsPair first, int count) {
    TsPair ts = first;
    for (int i = 0; i < count; ++i) {
      if (ts.track > kind_.tracks) {
        stopped(DI_STATUS_ILLEGAL_TS, ts, make_ts(0, 0));
        return;
      }
      const int err = error_of(ts);
      if (!take(ts, block(ts), kBlockSize)) return;
      if (err != 0) {
        stopped(err, ts, ts);
        lost(ts);
      }
      ts = ts.sector + 1 < kind_.sectors[ts.track] ? make_ts(ts.track, ts.sector + 1)
                                                   : make_ts(ts.track + 1, 0);
    }
  }

  void read_info(TsPair ts) {
    out_.info_ts = ts;
    if (ts.track == 0 || left_out(ts)) return;
    if (!kind_.valid(ts)) {
      stopped(DI_STATUS_ILLEGAL_TS, ts, make_ts(0, 0));
      return;
    }
    const int err = error_of(ts);
    if (err != 0) {
      stopped(err, ts, ts);
      lost(ts);
      return;
    }
    if (static_cast<long>(out_.bytes.size()) + DI_INFO_SIZE > limit_) {
      out_.cut = 1;
      out_.complete = 0;
      lost(ts);
      return;
    }
    std::memcpy(out_.info, block(ts), DI_INFO_SIZE);
    out_.info_read = 1;
  }

  DiImage *image_;
  const KindInfo &kind_;
  long limit_;
  FileDataStorage &out_;
};

}  // namespace
}  // namespace diskimage

using namespace diskimage;

extern "C" {

DiFileData *di_file_data(DiImage *image, const FileEntry *slot, long limit) {
  const KindInfo *kind = kind_info(image->type);
  FileDataStorage *data = nullptr;
  try {
    data = new FileDataStorage{};
    data->complete = 1;
    if (kind) {
      Reader(image, *kind, std::max(limit, 0L), *data).read(*slot);
    } else {
      data->complete = 0;
      data->status = {DI_STATUS_ILLEGAL_TS, slot->first_ts};
    }
  } catch (const std::bad_alloc &) {
    delete data;
    return nullptr;
  }
  data->data = data->bytes.empty() ? nullptr : data->bytes.data();
  data->size = static_cast<long>(data->bytes.size());
  data->lost_count = static_cast<int>(data->lost_list.size());
  data->lost = data->lost_list.empty() ? nullptr : data->lost_list.data();
  data->record_count = static_cast<int>(data->record_list.size());
  data->records = data->record_list.empty() ? nullptr : data->record_list.data();
  return data;
}

void di_file_data_free(DiFileData *data) {
  delete static_cast<FileDataStorage *>(data);
}

}  // extern "C"
