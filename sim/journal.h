// The bus's journal: one entry per command (or stray transfer) of any controller, numbered over
// the bus in the order they ended, written line by line to a file when one is set, and kept in
// memory unless told not to. The line format is described in README.md.
#ifndef EPDSIM_JOURNAL_H
#define EPDSIM_JOURNAL_H

#include "epdsim.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace epdsim {

class bus_journal {
  public:
    // Numbers the entry, writes its line to the file (flushed) and keeps it when keeping.
    void add(journal_entry &&entry);
    // "" closes the file; throws std::runtime_error when the file cannot be written.
    void set_file(const std::string &path);
    void keep(bool on) { keeping = on; }
    bool keeps() const { return keeping; }
    const std::vector<journal_entry> &entries() const { return kept; }

  private:
    struct file_closer {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };

    std::unique_ptr<std::FILE, file_closer> file;
    std::vector<journal_entry> kept;
    int numbered = 0; // entries numbered so far, kept or not
    bool keeping = true;
};

} // namespace epdsim

#endif
