#include "app/Settings.h"

bool ReadStoredSettings(ISettingsStore& AStore, TStoredSettings& ASettings) {
  TSettingsGroup g;
  if (!AStore.ReadGroup(SettingsGroupName, g)) return false;
  ASettings.OutputPath = g.String("OutputPath");
  ASettings.OpenAudioDialogPath = g.String("OpenAudioDialogPath");
  ASettings.RecentProfileInd = g.Integer("recentprofileind");
  ASettings.LastEditedProfileInd = g.Integer("lasteditedprofileind");
  ASettings.AudioCodecName = g.String("audiocodecname");
  ASettings.AudioBitRate = g.String("audiobitrate");
  ASettings.SampleRate = g.String("samplerate");
  ASettings.Channels = g.String("channels");
  return true;
}

void DropInvalidProfileIndexes(TStoredSettings& ASettings, int ACount) {
  auto valid = [ACount](const std::optional<int>& i) { return i && *i >= 0 && *i < ACount; };
  if (!valid(ASettings.RecentProfileInd)) ASettings.RecentProfileInd.reset();
  if (!valid(ASettings.LastEditedProfileInd)) ASettings.LastEditedProfileInd.reset();
}

int ApplyStoredProfileValues(const TStoredSettings& ASettings, std::vector<TProfile>& AProfiles) {
  if (!ASettings.LastEditedProfileInd) return 0;
  int ind = *ASettings.LastEditedProfileInd;
  if (ind < 0 || ind >= static_cast<int>(AProfiles.size())) return 0;
  TProfile& p = AProfiles[static_cast<size_t>(ind)];
  int applied = 0;
  // The list's own spelling is kept (the stored text may differ in letter case).
  auto apply = [&applied](const std::optional<std::string>& AValue, const std::string& AList,
                          std::string& AField) {
    if (!AValue) return;
    int i = ChoiceIndex(AList, *AValue);
    std::vector<std::string> values, captions;
    SplitChoiceList(AList, values, captions);
    if (i >= 0 && i < static_cast<int>(values.size())) {
      AField = values[static_cast<size_t>(i)];
      ++applied;
    }
  };
  apply(ASettings.AudioCodecName, p.AudioCodecs, p.AudioCodecName);
  apply(ASettings.AudioBitRate, p.AudioBitRates, p.AudioBitRate);
  apply(ASettings.SampleRate, p.SampleRates, p.SampleRate);
  apply(ASettings.Channels, p.Channels, p.Channel);
  return applied;
}

bool SaveStoredSettings(ISettingsStore& AStore, const TSettingsToSave& ASettings,
                        const std::vector<TProfile>& AProfiles, std::string& AError) {
  TSettingsGroup g;
  g.Set("OutputPath", ASettings.OutputPath);
  if (ASettings.OpenAudioDialogPath) g.Set("OpenAudioDialogPath", *ASettings.OpenAudioDialogPath);
  g.SetInteger("recentprofileind", ASettings.RecentProfileInd);
  int ind = ASettings.LastEditedProfileInd;
  if (ind >= 0 && ind < static_cast<int>(AProfiles.size())) {
    const TProfile& p = AProfiles[static_cast<size_t>(ind)];
    g.SetInteger("lasteditedprofileind", ind);
    g.Set("audiocodecname", p.AudioCodecName);
    g.Set("audiobitrate", p.AudioBitRate);
    g.Set("samplerate", p.SampleRate);
    g.Set("channels", p.Channel);
  }
  return AStore.WriteGroup(SettingsGroupName, g, AError);
}

TReportConfig ReadReportConfig(ISettingsStore& AStore) {
  TReportConfig c;
  TSettingsGroup g;
  if (!AStore.ReadGroup("ErrorReport", g)) return c;
  if (auto v = g.String("Server")) c.Server = *v;
  if (auto v = g.Integer("Port"); v && *v > 0 && *v < 65536) c.Port = *v;
  if (auto v = g.String("User")) c.User = *v;
  if (auto v = g.String("Password")) c.Password = *v;
  if (auto v = g.String("ReportMailbox"); v && !v->empty()) c.ReportMailbox = *v;
  if (auto v = g.String("SupportMailbox"); v && !v->empty()) c.SupportMailbox = *v;
  return c;
}

TWebPages ReadWebPages(ISettingsStore& AStore) {
  TWebPages w;
  TSettingsGroup g;
  if (!AStore.ReadGroup("Web", g)) return w;
  if (auto v = g.String("OnlineGuide"); v && !v->empty()) w.OnlineGuide = *v;
  if (auto v = g.String("Support"); v && !v->empty()) w.Support = *v;
  if (auto v = g.String("ProductPage"); v && !v->empty()) w.ProductPage = *v;
  return w;
}
