#pragma once
// The public holidays that calendar conditions can exclude. The engine never computes their
// dates; it matches these identifiers against dated occurrences supplied from outside.
#include <array>
#include <string_view>

namespace ostrel::core::domain {

struct HolidayInfo {
  std::string_view name;
  std::string_view value;
};

inline constexpr std::array<HolidayInfo, 30> kHolidays{{
    {"NO_FORSTE_NYTTARSDAG", "no/forste_nyttarsdag"},
    {"NO_SKJARTORSDAG", "no/skjartorsdag"},
    {"NO_LANGFREDAG", "no/langfredag"},
    {"NO_FORSTE_PASKEDAG", "no/forste_paskedag"},
    {"NO_ANDRE_PASKEDAG", "no/andre_paskedag"},
    {"NO_ARBEIDERNES_DAG", "no/arbeidernes_dag"},
    {"NO_KRISTI_HIMMELFARTSDAG", "no/kristi_himmelfartsdag"},
    {"NO_GRUNNLOVSDAG", "no/grunnlovsdag"},
    {"NO_FORSTE_PINSEDAG", "no/forste_pinsedag"},
    {"NO_ANDRE_PINSEDAG", "no/andre_pinsedag"},
    {"NO_FORSTE_JULEDAG", "no/forste_juledag"},
    {"NO_ANDRE_JULEDAG", "no/andre_juledag"},
    {"SE_NYARSDAGEN", "se/nyarsdagen"},
    {"SE_TRETTONDAGSAFTON", "se/trettondagsafton"},
    {"SE_TRETTONDEDAG_JUL", "se/trettondedag_jul"},
    {"SE_SKARTORSDAGEN", "se/skartorsdagen"},
    {"SE_LANGFREDAGEN", "se/langfredagen"},
    {"SE_PASKAFTON", "se/paskafton"},
    {"SE_PASKDAGEN", "se/paskdagen"},
    {"SE_ANNANDAG_PASK", "se/annandag_pask"},
    {"SE_FORSTA_MAJ", "se/forsta_maj"},
    {"SE_KRISTI_HIMMELSFARD", "se/kristi_himmelsfard"},
    {"SE_PINGSTAFTON", "se/pingstafton"},
    {"SE_NATIONALDAGEN", "se/nationaldagen"},
    {"SE_MIDSOMMARAFTON", "se/midsommarafton"},
    {"SE_ALLHELGONAAFTON", "se/allhelgonaafton"},
    {"SE_JULAFTON", "se/julafton"},
    {"SE_JULDAGEN", "se/juldagen"},
    {"SE_ANNANDAG_JUL", "se/annandag_jul"},
    {"SE_NYARSAFTON", "se/nyarsafton"},
}};

}  // namespace ostrel::core::domain
