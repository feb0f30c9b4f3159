// TfrmOption: the options dialog, the one place where every setting is edited. It has its own
// settings store on Vexo.ini, loads every key into its controls when it opens and saves every key
// when "設定(&S)" is pressed.
#pragma once
#include <QDialog>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "app/ini_file.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;

namespace vexo {

class TColorBox;
class TEnableControlCheckBox;
class TFocusLabel;
class TFolderDialog;
class TPanelEx;
class TUpdownNumberEdit;

// Results of the dialog.
enum OptionResult : int { kOptionSet = 1, kOptionCancel = 2 };

// The help file: vexo.html, else vexo.txt, beside the executable or in ../share/doc/vexo/ from
// it. Empty when there is none.
QString HelpFilePath();

class TfrmOption : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmOption(QWidget* parent = nullptr);
  // Stores the window placement; the store then writes the file.
  ~TfrmOption() override;

  // Opens a document with the desktop's handler (the help file, the version page's link).
  // Replaceable for tests.
  std::function<void(const QString&)> OpenDocument;

  const TExtIniFile& Store() const { return iniOpt_; }
  TFolderDialog& FolderDialog() { return *dlgFolder_; }

  // Any way of closing the dialog other than "設定(&S)" returns kOptionCancel.
  void reject() override;

 private:
  void buildBase(QTabWidget& pages);
  void buildSize(QTabWidget& pages);
  void buildJpeg(QTabWidget& pages);
  void buildBitmap(QTabWidget& pages);
  void buildPng(QTabWidget& pages);
  void buildGif(QTabWidget& pages);
  void buildMeta(QTabWidget& pages);
  void buildIcon(QTabWidget& pages);
  void buildAbout(QTabWidget& pages);
  void connectRules();

  void load();
  void save();

  void btnSetClick();
  void btnHelpClick();
  void btnRefOutClick();
  void btnRefPluginClick();
  void outputRadioClick();
  void samplingClick(int item);
  void exifClick();

  TExtIniFile iniOpt_;
  TFolderDialog* dlgFolder_;

  // Base page.
  QRadioButton *rdoSameFolder_, *rdoUserFolder_;
  QComboBox* cmbOutFolder_;
  QPushButton* btnRefOut_;
  QButtonGroup *rdgSameFile_, *rdgImageType_;
  QCheckBox* chkUsePlugin_;
  QLineEdit* edtPluginPath_;
  QPushButton* btnRefPlugin_;
  QCheckBox *chkBeforeOpen_, *chkAfterOpen_, *chkHideProgress_;
  // Edit page.
  TEnableControlCheckBox* chkSizeChange_;
  TPanelEx* pnlSizeChange_;
  QComboBox* cmbSizeBase_;
  TUpdownNumberEdit* edtMaxSize_;
  QComboBox* cmbSizeUnit_;
  TEnableControlCheckBox* chkRotate_;
  TPanelEx* pnlRotate_;
  QRadioButton *rdoAngle90_, *rdoAngle180_, *rdoAngle270_;
  QButtonGroup* angles_;
  QCheckBox *chkMirror_, *chkFlip_;
  // JPEG page.
  TUpdownNumberEdit* edtCompressRatio_;
  QSlider* tbrCompressRatio_;
  QButtonGroup* rdgSubSampleRatio_;
  TUpdownNumberEdit *edtResoX_, *edtResoY_;
  QComboBox* cmbResoUnit_;
  QCheckBox* chkJpegGrayscale_;
  TUpdownNumberEdit* edtJpegRestart_;
  QLineEdit* edtJpegComment_;
  QCheckBox *chkJpegExif_, *chkJpegIncThumb_;
  // BMP page.
  QComboBox* cmbBmpColor_;
  QCheckBox *chkBmpMono_, *chkBmpError_;
  // PNG page.
  QButtonGroup* rdgPngCompress_;
  QComboBox* cmbPngColor_;
  QCheckBox* chkPngGrayscale_;
  TEnableControlCheckBox* chkPngTrans_;
  TColorBox* cmbPngTransColor_;
  QCheckBox* chkPngUseError_;
  std::vector<QCheckBox*> pngFilters_;  // None, Sub, Up, Average, Paeth: bits 1, 2, 4, 8, 16
  QCheckBox* chkPngInteres_;
  TEnableControlCheckBox* chkPngUseComment_;
  QLineEdit* edtPngComment_;
  // GIF page.
  QComboBox* cmbGifReduct_;
  TPanelEx* pnlGifColor_;
  QComboBox* cmbGifColor_;
  QRadioButton *rdoGifNearest_, *rdoGifError_;
  QComboBox* cmbGifErrorType_;
  TEnableControlCheckBox* chkGifTrans_;
  TColorBox* cmbGifTransColor_;
  QButtonGroup* rdgGifCompress_;
  // WMF/EMF page.
  QLineEdit *edtCreate_, *edtDesc_;
  // Icon page.
  QComboBox* cmbIconSize_;
  TPanelEx* pnlIconSize_;
  TUpdownNumberEdit* edtIconSize_;
  QComboBox* cmbIconColors_;
  TPanelEx* pnlIconColors_;
  TUpdownNumberEdit* edtIconColors_;
  TEnableControlCheckBox* chkIconTrans_;
  TColorBox* cmbIconTransColor_;
  QCheckBox* chkIconStretch_;
  // Version page.
  QLabel* lblAppVer_;
  TFocusLabel* flbShowSite_;
};

}  // namespace vexo
