// CMediaPlayer2: the movie preview of the video source page, driven by
// property puts by dispatch id as a media player control is.
//
// The movie named by property 1026 is decoded with FFmpeg on a thread of the
// player's own; the user-interface thread only paints the last picture that
// thread handed over. The ids honoured are listed below (docs/ui.md); any
// other id is kept and has no effect.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <variant>

#include "platform/ui/GdiObject.h"
#include "platform/ui/Wnd.h"

using DISPID = LONG;

class CMediaPlayer2 : public CWnd {
 public:
  using Value = std::variant<std::string, bool, LONG>;

  enum : DISPID {
    kFileName = 1026,     // string: the movie to open; empty closes it
    kAutoStart = 1017,    // bool: play as soon as a movie opens (else its first picture stays)
    kAutoRewind = 1018,   // bool: at the end, go back to the first picture
    kShowControls = 1021, // bool: kept; the preview draws no controls
    kEnabled = 22,        // bool: a click on the picture plays or pauses
    kPlayCount = 32,      // int: plays through the movie this many times; 0 repeats until stopped
  };

  CMediaPlayer2();
  ~CMediaPlayer2() override;

  void PutString(DISPID id, const char* value);
  void PutBool(DISPID id, BOOL value);
  void PutLong(DISPID id, LONG value);
  // The last value put under an id; false when none was.
  bool GetProperty(DISPID id, Value* value) const;

  // Playback of the open movie at its own rate; Stop goes back to the first
  // picture.
  void Play();
  void Pause();
  void Stop();
  bool IsPlaying() const;
  // Pictures handed over since the movie was opened (0: nothing to show yet).
  int GetPicturesShown() const { return m_nPictures; }

 protected:
  afx_msg void OnPaint();
  afx_msg BOOL OnEraseBkgnd(CDC* dc);
  afx_msg void OnDestroy();
  afx_msg void OnLButtonDown(UINT flags, CPoint point);
  afx_msg LRESULT OnPicture(WPARAM wParam, LPARAM lParam);

 private:
  class Decoder;
  struct Picture;

  void Open();
  void Close();
  bool BoolProperty(DISPID id, bool fallback) const;

  std::map<DISPID, Value> m_props;
  std::unique_ptr<Decoder> m_decoder;
  std::shared_ptr<Picture> m_shared;  // written by the decoder, read here
  CBitmap m_picture;
  int m_cx = 0, m_cy = 0;
  int m_nPictures = 0;

  DECLARE_MESSAGE_MAP()
};
