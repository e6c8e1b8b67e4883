// The token's objects: read from the card once per token (or taken from the
// cache where the card proves them), found, read and refused changes.
// Private objects are seen only while the user is logged in.
#include <map>
#include <optional>

#include "card/profile_table.h"
#include "pkcs11/card_access.h"
#include "pkcs11/card_proof.h"
#include "pkcs11/object_cache.h"

namespace vela::pkcs11 {
namespace {

// The cache's containers of a card, each proven against the card at most
// once: what it is served as where the card holds its certificate.
class CachedContainers {
 public:
  explicit CachedContainers(const std::optional<CachedCard>& card) : card_(card) {}

  // Whether the cache holds each container the card's profile may have,
  // with its certificate: then the container map, and with it the
  // minidriver, is not needed.
  bool CoverProfile() const {
    if (!card_ || card_->containers.size() != vela::kProfileTable.size()) return false;
    for (std::size_t i = 0; i < vela::kProfileTable.size(); ++i) {
      const ContainerData& kept = card_->containers[i];
      if (kept.index != static_cast<int>(i) || kept.certificateFile.empty() ||
          kept.signature != (vela::kProfileTable[i].keyRole == kRoleSignature)) {
        return false;
      }
    }
    return true;
  }

  std::optional<ContainerData> Proven(CardLink& link, int index, bool signature) {
    const auto known = proofs_.find(index);
    if (known != proofs_.end()) return known->second;
    std::optional<ContainerData>& proof = proofs_[index];
    if (!card_) return proof;
    for (const ContainerData& kept : card_->containers) {
      if (kept.index != index || kept.signature != signature) continue;
      proof = CachedContainerShape(kept);
      if (proof && !CardHoldsCertificate(link, index, proof->certificateFile)) proof.reset();
      break;
    }
    return proof;
  }

 private:
  const std::optional<CachedCard>& card_;
  std::map<int, std::optional<ContainerData>> proofs_;
};

}  // namespace

CK_RV Slot::LoadObjects() {
  if (token_->objectsLoaded) return CKR_OK;
  Token& t = *token_;
  // What the cache holds of this card is taken container by container, each
  // only once the card proves its certificate's identity; the key served is
  // the one inside that certificate. The rest is read from the card.
  std::optional<ObjectCache> cache;
  std::optional<CachedCard> cached = std::move(t.cached);
  t.cached.reset();
  if (settings_.objectCache) {
    cache.emplace(ObjectCache::DefaultHome());
    if (!cached) cached = cache->Load(t.serial, t.atr);
  }
  CachedContainers kept(cached);
  std::vector<ContainerData> containers;
  std::size_t proven = 0;
  bool complete = false;
  if (kept.CoverProfile()) {
    // Every container the card may have is cached: the proofs alone, and no
    // minidriver call, where the card proves them all.
    const CK_RV rv = Enter();
    if (rv != CKR_OK) return rv;
    complete = true;
    for (std::size_t i = 0; complete && i < vela::kProfileTable.size(); ++i) {
      std::optional<ContainerData> container =
          kept.Proven(*t.link, static_cast<int>(i), vela::kProfileTable[i].keyRole == kRoleSignature);
      complete = container.has_value();
      if (complete) containers.push_back(std::move(*container));
    }
    Leave();
    proven = containers.size();
  }
  if (!complete) {
    const ProvenContainer fromCache = [&](ContainerData* container) {
      std::optional<ContainerData> shape = kept.Proven(*t.link, container->index, container->signature);
      if (!shape) return false;
      *container = std::move(*shape);
      ++proven;
      return true;
    };
    DWORD result = 0;
    const CK_RV rv = OnCard(
        [&](CARD_DATA* cd) {
          containers.clear();
          proven = 0;
          return ReadContainers(cd, &containers, fromCache);
        },
        &result);
    if (rv != CKR_OK) return rv;
    if (result != 0) return CardResult(result);
  }
  if (cache && (!cached || proven != containers.size() || cached->containers.size() != containers.size())) {
    cache->Store({t.serial, t.atr, containers});
  }
  for (const ContainerData& container : containers) {
    for (Object& object : ContainerObjects(container)) {
      object.handle = t.handleBase + 1 + t.objects.size();
      t.objects.push_back(std::move(object));
    }
  }
  t.objectsLoaded = true;
  return CKR_OK;
}

bool Slot::Visible(const Object& object) const { return !object.isPrivate || token_->login == Login::kUser; }

Object* Slot::FindObject(CK_OBJECT_HANDLE handle) {
  Object* object = nullptr;
  return LookUp(handle, &object) == CKR_OK ? object : nullptr;
}

CK_RV Slot::LookUp(CK_OBJECT_HANDLE handle, Object** found) {
  for (auto* list : {&token_->objects, &token_->sessionObjects}) {
    for (Object& object : *list) {
      if (object.handle != handle) continue;
      // The handle stays valid across a logout; using it needs the login.
      if (!Visible(object)) return CKR_USER_NOT_LOGGED_IN;
      *found = &object;
      return CKR_OK;
    }
  }
  return CKR_KEY_HANDLE_INVALID;
}

CK_RV Slot::FindInit(Session& session, std::span<const CK_ATTRIBUTE> pattern) {
  if (session.finding) return CKR_OPERATION_ACTIVE;
  const CK_SESSION_HANDLE handle = session.handle;
  const CK_RV rv = LoadObjects();
  if (rv != CKR_OK) return rv;
  Session& current = sessions_.at(handle);
  current.found.clear();
  for (const auto* list : {&token_->objects, &token_->sessionObjects}) {
    for (const Object& object : *list) {
      if (Visible(object) && Matches(object, pattern)) current.found.push_back(object.handle);
    }
  }
  current.nextFound = 0;
  current.finding = true;
  return CKR_OK;
}

CK_RV Slot::FindNext(Session& session, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* count) {
  if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
  *count = 0;
  while (*count < max && session.nextFound < session.found.size()) {
    handles[(*count)++] = session.found[session.nextFound++];
  }
  return CKR_OK;
}

CK_RV Slot::FindFinal(Session& session) {
  if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
  session.finding = false;
  session.found.clear();
  return CKR_OK;
}

CK_RV Slot::GetAttributes(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  return pkcs11::GetAttributes(*object, attributes, count);
}

CK_RV Slot::ObjectSize(CK_OBJECT_HANDLE handle, CK_ULONG* size) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  *size = 0;
  for (const auto& [type, value] : object->attributes) *size += value.size();
  return CKR_OK;
}

CK_RV Slot::RefuseChange(Session& session, CK_OBJECT_HANDLE handle) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (object->owner != CK_INVALID_HANDLE) return CKR_ATTRIBUTE_READ_ONLY;
  return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
}

CK_RV Slot::DestroyObject(Session& session, CK_OBJECT_HANDLE handle) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (object->owner == CK_INVALID_HANDLE) return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
  DropSessionObjects(token_->sessionObjects, [&](const Object& candidate) { return candidate.handle == handle; });
  return CKR_OK;
}

}  // namespace vela::pkcs11
