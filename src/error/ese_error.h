// The single error type of the library layers, and the Result every fallible
// operation returns. Nothing in the library throws; only std::bad_alloc can
// escape, and the Python binding catches it.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace pellumo {

class EseError {
 public:
  enum class Kind : std::uint8_t {
    InvalidHeader,
    InvalidSignature,
    InvalidPageNumber,
    InvalidTagNumber,
    TableNotFound,
    ColumnNotFound,
    UnsupportedColumnType,
    CallbackCatalogType,
    InvalidCatalogEntry,
    PageDataTooShort,
    TagOffsetOutOfBounds,
    UnknownCodepage,
    Io,
    Parse,
    CorruptStructure,
  };

  static EseError invalid_header() { return EseError(Kind::InvalidHeader); }
  static EseError invalid_signature(std::uint32_t found) { return EseError(Kind::InvalidSignature, found); }
  static EseError invalid_page_number(std::uint32_t page) { return EseError(Kind::InvalidPageNumber, page); }
  static EseError invalid_tag_number(std::uint16_t tag) { return EseError(Kind::InvalidTagNumber, tag); }
  static EseError table_not_found(std::string name) { return EseError(Kind::TableNotFound, std::move(name)); }
  static EseError column_not_found(std::string name) { return EseError(Kind::ColumnNotFound, std::move(name)); }
  static EseError unsupported_column_type(std::uint32_t type) {
    return EseError(Kind::UnsupportedColumnType, type);
  }
  static EseError callback_catalog_type() { return EseError(Kind::CallbackCatalogType); }
  static EseError invalid_catalog_entry() { return EseError(Kind::InvalidCatalogEntry); }
  static EseError page_data_too_short(std::uint64_t expected, std::uint64_t got) {
    return EseError(Kind::PageDataTooShort, expected, got);
  }
  static EseError tag_offset_out_of_bounds(std::uint64_t offset, std::uint64_t size, std::uint64_t page_size) {
    return EseError(Kind::TagOffsetOutOfBounds, offset, size, page_size);
  }
  static EseError unknown_codepage(std::uint32_t codepage) { return EseError(Kind::UnknownCodepage, codepage); }
  // An operating-system error, by its errno value.
  static EseError io(int errno_value) { return EseError(Kind::Io, static_cast<std::uint64_t>(errno_value)); }
  // An I/O failure that carries a fixed text instead of an errno value.
  static EseError io_text(std::string text) {
    EseError e(Kind::Io, std::move(text));
    e.io_has_text_ = true;
    return e;
  }
  static EseError parse(std::string message) { return EseError(Kind::Parse, std::move(message)); }
  // A page of a tree that a walk refused where it cannot go on without it
  // (a table's root): the page and the walk's reason ("checksum",
  // "foreign_owner", "wrong_tree_type", "empty"...).
  static EseError corrupt_structure(std::uint32_t page, std::string reason) {
    EseError e(Kind::CorruptStructure, std::move(reason));
    e.numbers_[0] = page;
    return e;
  }

  // The same error, its message led by what was being done when it
  // happened (for example "Error reading record: "). Kind and payload stay,
  // so callers still decide by kind.
  EseError with_context(std::string context) && {
    context_ = std::move(context) + context_;
    return std::move(*this);
  }
  // What with_context added ("" when nothing).
  const std::string& context() const { return context_; }

  EseError(EseError&&) noexcept = default;
  EseError& operator=(EseError&&) noexcept = default;
  EseError(const EseError&) = delete;
  EseError& operator=(const EseError&) = delete;

  Kind kind() const { return kind_; }

  // The user-facing message: the context, then the variant's own text.
  // Never fails (beyond bad_alloc).
  std::string message() const;

  // For Io: the operating system's text without the "IO error: " prefix.
  std::string io_description() const;

  // Payload accessors; meaningful only for the variants that carry them.
  const std::string& text() const { return text_; }  // names (raw bytes), messages and reasons
  std::uint64_t number(int i) const { return numbers_[i]; }

 private:
  explicit EseError(Kind kind, std::uint64_t a = 0, std::uint64_t b = 0, std::uint64_t c = 0)
      : kind_(kind), numbers_{a, b, c} {}
  EseError(Kind kind, std::string text) : kind_(kind), numbers_{0, 0, 0}, text_(std::move(text)) {}

  Kind kind_;
  bool io_has_text_ = false;
  std::uint64_t numbers_[3];
  std::string text_;
  std::string context_;
};

// The outcome of a fallible operation: a value or an EseError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
  Result(EseError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(implicit)
  template <class U, class = std::enable_if_t<std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, T> &&
                                              !std::is_same_v<std::decay_t<U>, EseError>>>
  Result(U&& value) : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}  // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  EseError& error() & { return std::get<1>(v_); }
  const EseError& error() const& { return std::get<1>(v_); }
  EseError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, EseError> v_;
};

struct Ok {};

// A Result that carries no value on success.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}  // NOLINT(implicit)
  Result(EseError error) : error_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(implicit)

  bool ok() const { return error_.index() == 0; }
  explicit operator bool() const { return ok(); }
  EseError& error() & { return std::get<1>(error_); }
  const EseError& error() const& { return std::get<1>(error_); }
  EseError&& error() && { return std::get<1>(std::move(error_)); }

 private:
  std::variant<std::monostate, EseError> error_;
};

}  // namespace pellumo

#define PELLUMO_CONCAT_INNER(a, b) a##b
#define PELLUMO_CONCAT(a, b) PELLUMO_CONCAT_INNER(a, b)

// PELLUMO_TRY(auto page, db.read_page(n)); declares `page` or returns the error.
// Expands to several statements: use it inside braces.
#define PELLUMO_TRY(decl, expr) PELLUMO_TRY_IMPL(PELLUMO_CONCAT(pellumo_try_, __LINE__), decl, expr)
#define PELLUMO_TRY_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                      \
  if (!tmp.ok()) return std::move(tmp).error(); \
  decl = std::move(tmp).value()

// PELLUMO_CHECK(expr); returns the error of a Result<void>.
#define PELLUMO_CHECK(expr)                                                   \
  do {                                                                        \
    auto pellumo_check_ = (expr);                                             \
    if (!pellumo_check_.ok()) return std::move(pellumo_check_).error();       \
  } while (0)
