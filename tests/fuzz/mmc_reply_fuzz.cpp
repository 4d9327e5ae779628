// Sense data and drive replies: the first byte picks the parser, the rest
// is what the drive sent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "optical/mmc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* d = data + 1;
  size_t n = size - 1;
  std::string err;
  switch (data[0] % 10) {
    case 0: {
      mmc::Sense s = mmc::ParseSense(d, n);
      mmc::SendState st;
      st.is_write = n > 0 && (d[0] & 1);
      mmc::Decision dec = mmc::Decide(s, st);
      if (dec.kind == mmc::Decision::Done && !s.present && dec.ret != 0) __builtin_trap();
      break;
    }
    case 1: {
      mmc::Inquiry36 inq;
      if (mmc::ParseInquiry(d, n, &inq, &err) == 0 && (inq.vendor.size() > 8 || inq.product.size() > 16))
        __builtin_trap();
      mmc::ModelCode(inq);
      break;
    }
    case 2: {
      mmc::DiscInfo di;
      mmc::ParseDiscInfo(d, n, &di, &err);
      break;
    }
    case 3: {
      mmc::TrackInfo ti;
      mmc::ParseTrackInfo(d, n, &ti, &err);
      break;
    }
    case 4: {
      std::vector<uint32_t> sp;
      if (mmc::ParseWriteSpeeds(d, n, &sp, &err) == 0 && (sp.empty() || sp.size() > n / 16)) __builtin_trap();
      break;
    }
    case 5: {
      uint8_t state;
      std::vector<mmc::FormatDesc> f;
      if (mmc::ParseFormatCapacities(d, n, &state, &f, &err) == 0 && f.size() > n / 8) __builtin_trap();
      break;
    }
    case 7: {
      mmc::DvdPhysical ph;
      if (mmc::ParseDvdPhysical(d, n, &ph, &err) == 0 && (ph.layers < 1 || ph.layers > 4)) __builtin_trap();
      mmc::BookTypeName(ph.book);
      break;
    }
    case 8: {
      std::string type;
      if (mmc::ParseBdDiscInfo(d, n, &type, &err) == 0 && type.size() > 3) __builtin_trap();
      break;
    }
    case 9: {
      std::vector<uint8_t> page;
      if (mmc::FindModePage(d, n, n > 8 ? d[n - 1] & 0x3F : 5, &page, &err) == 0 &&
          (page.size() < 2 || page.size() > n))
        __builtin_trap();
      break;
    }
    default: {
      int p = 0;
      mmc::ParseCurrentProfile(d, n, &p, &err);
      mmc::ProfileName(p);
      break;
    }
  }
  return 0;
}
