// The token's objects: read from the card once per token (or taken from the
// cache where the card proves them whole), found, read and refused
// changes. Private objects are seen only while the user is logged in.
#include <optional>

#include "pkcs11/card_access.h"
#include "pkcs11/card_proof.h"
#include "pkcs11/object_cache.h"

namespace vela::pkcs11 {

CK_RV Slot::LoadObjects() {
  if (token_->objectsLoaded) return CKR_OK;
  Token& t = *token_;
  // What the cache holds of this card is taken container by container, each
  // only once the card proves every byte of its certificate; the key served
  // is the one inside that certificate. The rest is read from the card.
  std::optional<ObjectCache> cache;
  std::optional<CachedCard> cached;
  if (settings_.objectCache) {
    cache.emplace(ObjectCache::DefaultHome());
    cached = cache->Load(t.serial, t.atr);
  }
  std::vector<ContainerData> containers;
  std::size_t proven = 0;
  const ProvenContainer fromCache = [&](ContainerData* container) {
    if (!cached) return false;
    for (const ContainerData& kept : cached->containers) {
      if (kept.index != container->index || kept.signature != container->signature) continue;
      std::optional<ContainerData> shape = CachedContainerShape(kept);
      if (!shape || !CardHoldsCertificate(*t.link, shape->index, shape->certificateFile)) return false;
      *container = std::move(*shape);
      ++proven;
      return true;
    }
    return false;
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
