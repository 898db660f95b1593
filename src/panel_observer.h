// What a panel tells of the commands that change what it shows, for whoever keeps a copy of it
// (the status folder's now.png). The panel knows nothing of what is done with it.
#ifndef EPDSHOW_PANEL_OBSERVER_H
#define EPDSHOW_PANEL_OBSERVER_H

class panel_observer {
  public:
    // rows rows of w bytes were written into the memory of slot's controller at column x of row y.
    virtual void band_written(int slot, int x, int y, int w, int rows,
                              const unsigned char *bytes) = 0;
    // slot's controller was asked to refresh that rectangle of its band with waveform_mode.
    virtual void refresh_made(int slot, int x, int y, int w, int h, int waveform_mode) = 0;

  protected:
    ~panel_observer() = default;
};

#endif
