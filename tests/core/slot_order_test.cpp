// Freezes the virtual-function order of every public interface: front ends and
// modules built against older headers call slots by index, so a reordered,
// inserted or appended virtual function breaks them. The table is written from
// the binary contract, not generated from the headers.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "core/wma_source_info.h"
#include "tallory/tallory.h"

namespace {

// Itanium C++ ABI 2.3: a pointer to a virtual member function holds 1 plus the
// function's byte offset in the virtual table (and an adjustment, 0 here).
template <class Member>
long slotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(std::ptrdiff_t), "Itanium pointer to member function");
    std::ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    if ((words[0] & 1) == 0) return -1;  // not virtual
    EXPECT_EQ(words[1], 0) << "interfaces derive along one line";
    return static_cast<long>((words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
}

// The first virtual function a class adds after I takes the slot after I's
// last: this is how many slots I has, so that appending one is caught too.
template <class I>
struct SlotCounter : I {
    virtual void nextSlot() = 0;
};
template <class I>
long slotCount() {
    return slotOf(&SlotCounter<I>::nextSlot);
}

#define EXPECT_SLOT(member, slot) EXPECT_EQ(slotOf(&member), slot) << #member

TEST(SlotOrder, IUnknown) {
    EXPECT_SLOT(IUnknown::QueryInterface, 0);
    EXPECT_SLOT(IUnknown::AddRef, 1);
    EXPECT_SLOT(IUnknown::Release, 2);
    EXPECT_EQ(slotCount<IUnknown>(), 3);
}

TEST(SlotOrder, SourceAndTarget) {
    EXPECT_SLOT(IConvSource::QueryInterface, 0);
    EXPECT_SLOT(IConvSource::SetPath, 3);
    EXPECT_SLOT(IConvSource::GetPath, 4);
    EXPECT_SLOT(IConvSource::GetClassId, 5);
    EXPECT_SLOT(IConvSource::GetFileName, 6);
    EXPECT_SLOT(IConvSource::GetDirectory, 7);
    EXPECT_SLOT(IConvSource::Open, 8);
    EXPECT_SLOT(IConvSource::SetStartTime, 9);
    EXPECT_SLOT(IConvSource::Run, 10);
    EXPECT_SLOT(IConvSource::Close, 11);
    EXPECT_SLOT(IConvSource::GetTag, 12);
    EXPECT_SLOT(IConvSource::GetLength, 13);
    EXPECT_SLOT(IConvSource::GetFormat, 14);
    EXPECT_SLOT(IConvSource::SetProgress, 15);
    EXPECT_EQ(slotCount<IConvSource>(), 16);

    EXPECT_SLOT(IConvTarget::GetFormatIndex, 3);
    EXPECT_SLOT(IConvTarget::GetClassId, 4);
    EXPECT_SLOT(IConvTarget::SetPath, 5);
    EXPECT_SLOT(IConvTarget::GetPath, 6);
    EXPECT_SLOT(IConvTarget::Open, 7);
    EXPECT_SLOT(IConvTarget::Write, 8);
    EXPECT_SLOT(IConvTarget::Close, 9);
    EXPECT_SLOT(IConvTarget::OpenTag, 10);
    EXPECT_SLOT(IConvTarget::SetSource, 11);
    EXPECT_SLOT(IConvTarget::EstimateSize, 12);
    EXPECT_SLOT(IConvTarget::SetFormat, 13);
    EXPECT_SLOT(IConvTarget::ShowSettings, 14);
    EXPECT_SLOT(IConvTarget::GetSettingsText, 15);
    EXPECT_SLOT(IConvTarget::SetOption, 16);
    EXPECT_SLOT(IConvTarget::SetProgress, 17);
    EXPECT_EQ(slotCount<IConvTarget>(), 18);

    EXPECT_SLOT(IConvSink::Write, 0);
    EXPECT_EQ(slotCount<IConvSink>(), 1);

    EXPECT_SLOT(IWmaSourceInfo::GetCodecInfo, 3);
    EXPECT_EQ(slotCount<IWmaSourceInfo>(), 4);
}

TEST(SlotOrder, ProgressCallbacks) {
    EXPECT_SLOT(IConvProgress::ConfirmOverwrite, 0);
    EXPECT_SLOT(IConvProgress::Message, 1);
    EXPECT_SLOT(IConvProgress::MessageEx, 2);
    EXPECT_SLOT(IConvProgress::SetRange, 3);
    EXPECT_SLOT(IConvProgress::SetPos, 4);
    EXPECT_SLOT(IConvProgress::Advance, 5);
    EXPECT_SLOT(IConvProgress::SetAction, 6);
    EXPECT_SLOT(IConvProgress::IsCancelled, 7);
    EXPECT_SLOT(IConvProgress::SetItem, 8);
    EXPECT_SLOT(IConvProgress::Throughput, 9);
    EXPECT_SLOT(IConvProgress::Destroy, 10);
    EXPECT_SLOT(IConvProgress::Cancel, 11);
    EXPECT_SLOT(IConvProgress::GetWindow, 12);
    EXPECT_SLOT(IConvProgress::GetItemControl, 13);
    EXPECT_SLOT(IConvProgress::Create, 14);
    EXPECT_SLOT(IConvProgress::Finish, 15);
    EXPECT_EQ(slotCount<IConvProgress>(), 16);

    EXPECT_SLOT(IConvBatchProgress::Show, 16);
    EXPECT_SLOT(IConvBatchProgress::StartBatch, 17);
    EXPECT_SLOT(IConvBatchProgress::NextItem, 18);
    EXPECT_EQ(slotCount<IConvBatchProgress>(), 19);
}

TEST(SlotOrder, NormalizerAndPlaylist) {
    EXPECT_SLOT(INormalizer::Destroy, 0);
    EXPECT_SLOT(INormalizer::SetFormat, 1);
    EXPECT_SLOT(INormalizer::Analyze, 2);
    EXPECT_SLOT(INormalizer::Apply, 3);
    EXPECT_EQ(slotCount<INormalizer>(), 4);

    EXPECT_SLOT(IPlaylist::AddEntry, 0);
    EXPECT_SLOT(IPlaylist::Load, 1);
    EXPECT_SLOT(IPlaylist::Save, 2);
    EXPECT_SLOT(IPlaylist::GetCount, 3);
    EXPECT_SLOT(IPlaylist::Reset, 4);
    EXPECT_SLOT(IPlaylist::GetNext, 5);
    EXPECT_SLOT(IPlaylist::Destroy, 6);
    EXPECT_EQ(slotCount<IPlaylist>(), 7);
}

TEST(SlotOrder, TagFilesTagsAndFrames) {
    EXPECT_SLOT(IMetadataFile::GetCapabilities, 3);
    EXPECT_SLOT(IMetadataFile::ReadTag, 4);
    EXPECT_SLOT(IMetadataFile::WriteTag, 5);
    EXPECT_EQ(slotCount<IMetadataFile>(), 6);

    EXPECT_SLOT(IMetadataTag::GetFrameCount, 3);
    EXPECT_SLOT(IMetadataTag::Reserved, 4);
    EXPECT_SLOT(IMetadataTag::GetFrame, 5);
    EXPECT_SLOT(IMetadataTag::RemoveFrames, 6);
    EXPECT_EQ(slotCount<IMetadataTag>(), 7);

    EXPECT_SLOT(IMetadataFrame::AttachTo, 3);
    EXPECT_SLOT(IMetadataFrame::IsReadOnly, 4);
    EXPECT_SLOT(IMetadataFrame::Edit, 5);
    EXPECT_SLOT(IMetadataFrame::GetName, 6);
    EXPECT_SLOT(IMetadataFrame::GetKindInterfaceId, 7);
    EXPECT_SLOT(IMetadataFrame::GetFrameId, 8);
    EXPECT_SLOT(IMetadataFrame::GetDisplayText, 9);
    EXPECT_SLOT(IMetadataFrame::IsEqual, 10);
    EXPECT_SLOT(IMetadataFrame::CopyTo, 11);
    EXPECT_EQ(slotCount<IMetadataFrame>(), 12);

    EXPECT_SLOT(ITextFrame::SetText, 12);
    EXPECT_SLOT(ITextFrame::GetText, 13);
    EXPECT_EQ(slotCount<ITextFrame>(), 14);

    EXPECT_SLOT(IUserTextFrame::SetDescription, 12);
    EXPECT_SLOT(IUserTextFrame::GetDescription, 13);
    EXPECT_SLOT(IUserTextFrame::SetText, 14);
    EXPECT_SLOT(IUserTextFrame::GetText, 15);
    EXPECT_EQ(slotCount<IUserTextFrame>(), 16);

    EXPECT_SLOT(ICommentFrame::SetDescription, 12);
    EXPECT_SLOT(ICommentFrame::GetDescription, 13);
    EXPECT_SLOT(ICommentFrame::SetLanguage, 14);
    EXPECT_SLOT(ICommentFrame::GetLanguage, 15);
    EXPECT_SLOT(ICommentFrame::SetText, 16);
    EXPECT_SLOT(ICommentFrame::GetText, 17);
    EXPECT_EQ(slotCount<ICommentFrame>(), 18);

    EXPECT_SLOT(IUrlFrame::SetUrl, 12);
    EXPECT_SLOT(IUrlFrame::GetUrl, 13);
    EXPECT_EQ(slotCount<IUrlFrame>(), 14);

    EXPECT_SLOT(IUserUrlFrame::SetDescription, 12);
    EXPECT_SLOT(IUserUrlFrame::GetDescription, 13);
    EXPECT_SLOT(IUserUrlFrame::SetUrl, 14);
    EXPECT_SLOT(IUserUrlFrame::GetUrl, 15);
    EXPECT_EQ(slotCount<IUserUrlFrame>(), 16);

    EXPECT_SLOT(IPictureFrame::SetMimeType, 12);
    EXPECT_SLOT(IPictureFrame::GetMimeType, 13);
    EXPECT_SLOT(IPictureFrame::SetDescription, 14);
    EXPECT_SLOT(IPictureFrame::GetDescription, 15);
    EXPECT_SLOT(IPictureFrame::Reserved16, 16);
    EXPECT_SLOT(IPictureFrame::Reserved17, 17);
    EXPECT_SLOT(IPictureFrame::SetPictureType, 18);
    EXPECT_SLOT(IPictureFrame::GetPictureType, 19);
    EXPECT_EQ(slotCount<IPictureFrame>(), 20);
}

// The probe itself: a non-virtual member is told apart, and a slot added in a
// derived class lands after its base's slots.
struct ProbeBase {
    virtual void a() = 0;
    virtual void b() = 0;
    void plain() {}
};
struct ProbeDerived : ProbeBase {
    virtual void c() = 0;
};

TEST(SlotOrder, TheProbeReadsSlotsAsTheCompilerLaysThemOut) {
    EXPECT_EQ(slotOf(&ProbeBase::a), 0);
    EXPECT_EQ(slotOf(&ProbeBase::b), 1);
    EXPECT_EQ(slotOf(&ProbeDerived::c), 2);
    EXPECT_EQ(slotOf(&ProbeBase::plain), -1);
    EXPECT_EQ(slotCount<ProbeDerived>(), 3);
}

}  // namespace
