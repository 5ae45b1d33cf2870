package shop.cart

import scala.collection.mutable
import shop.model.{Item, Price => P}

/** A cart that totals its items. */
class Cart(owner: String) extends Serializable {
  private val items = mutable.ListBuffer[Item]()

  def add(item: Item, qty: Int = 1): Unit = {
    items += item
    Audit.log(s"added ${item.name}")
  }

  def total: BigDecimal = items.map(_.price).sum
}

object Cart {
  def empty(owner: String): Cart = new Cart(owner)
}

trait Discount {
  def apply(total: BigDecimal): BigDecimal
}
